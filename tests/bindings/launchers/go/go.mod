module scenariolauncher

go 1.19

require qorlauncherkit v0.0.0

replace qorlauncherkit => ../../../../bindings/go
