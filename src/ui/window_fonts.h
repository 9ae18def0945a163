// Installs the window's two typefaces as FLTK fonts 16 and 17.
#pragma once

namespace zarvo {

// Registers the embedded Onest and Unbounded fonts privately for the process
// and installs them as fonts 16 and 17; when that fails, installs Helvetica
// and Helvetica Bold there instead and logs a warning. Once per process: later
// calls do nothing. Main thread.
void registerWindowFonts();

// True when the last registration fell back to Helvetica.
bool windowFontsFellBack();

}  // namespace zarvo
