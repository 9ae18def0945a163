// Binds the hand-over, which knows nothing of the update flow, to the run context.
#include "app/self_update_step.h"

#include "app/bootstrap.h"
#include "launch/self_update.h"

namespace zarvo {
namespace {

SelfUpdateContext selfUpdateContext(Bootstrap& context) {
    SelfUpdateContext update;
    update.dataDir = context.dataDir;
    update.serviceUrl = context.serviceUrl;
    update.options = &context.options;
    update.allowLoopbackHttp = context.allowLoopbackHttp;
    update.headless = context.headless;
    update.cancelRequested = &context.cancelRequested;
    update.reportStage = [&context](const std::string& text, double fraction) { context.reportStage(text, fraction); };
    return update;
}

}  // namespace

bool beginSelfUpdate(Bootstrap& context, const Json::Value& components, const Json::Value& state) {
    return beginSelfUpdate(selfUpdateContext(context), components, state);
}

void completeSelfUpdate(Bootstrap& context) { completeSelfUpdate(selfUpdateContext(context)); }

}  // namespace zarvo
