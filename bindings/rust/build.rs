// Where the linker finds QorLauncherKit: libQorLauncherKit.dll.a (GNU target) or
// QorLauncherKit.lib (MSVC target, made from QorLauncherKit.def with `lib /def:`).
fn main() {
    println!("cargo:rerun-if-env-changed=QOR_KIT_LIB_DIR");
    if let Some(folder) = std::env::var_os("QOR_KIT_LIB_DIR") {
        println!("cargo:rustc-link-search=native={}", folder.to_string_lossy());
    }
}
