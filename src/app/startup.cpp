#include "app/startup.h"

namespace zarvo {

int runStartup(int, char**) { return 0; }

}  // namespace zarvo
