// Compiled into every program on the platform layer in sanitizer builds.
// FLTK 1.3 keeps its Xft font matches and fontconfig its configuration for
// the process's life, which the leak checker would report at every exit.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n"
           "leak:libXft.so\n";
}
