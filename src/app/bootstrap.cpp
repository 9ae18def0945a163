#include "app/bootstrap.h"

#include "build_config.h"

namespace zarvo {

Bootstrap::Bootstrap() : serviceUrl(build::kDefaultServiceUrl) {}

}  // namespace zarvo
