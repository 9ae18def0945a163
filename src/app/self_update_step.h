// The update flow's two ends of the pre-starter's hand-over to a newer one.
#pragma once

#include <json/value.h>

namespace zarvo {

class Bootstrap;

// After the slot is installed: hands over to the release's pre-starter
// package when it is new. Returns true when the new pre-starter was started;
// the run must then end at once without launching anything. Update thread.
bool beginSelfUpdate(Bootstrap& context, const Json::Value& components, const Json::Value& state);
// The whole run of a process started with "--self-replace". Main thread.
void completeSelfUpdate(Bootstrap& context);

}  // namespace zarvo
