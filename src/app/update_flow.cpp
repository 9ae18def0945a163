// The update flow: check, install, activate.
#include "app/bootstrap.h"

namespace zarvo {

void Bootstrap::run() {}

}  // namespace zarvo
