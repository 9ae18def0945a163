// Removal of inherited variables that could redirect plug-ins, imports or
// libraries of the programs the pre-starter starts.
#pragma once

namespace zarvo {

// Removes the 19 variables from this process's environment, so that neither
// the pre-starter nor anything it starts sees them. Never fails. Call first
// thing in main, before any other thread exists.
void scrubEnvironment() noexcept;

}  // namespace zarvo
