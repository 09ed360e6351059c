module qorlauncherkit

go 1.19
