#include "launch/start_process.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "support/child_process.h"

namespace zarvo::test {
namespace {

TEST(EnvironmentScrub, RemovesTheListedVariablesFromThisProcessAndItsChildren) {
    ::setenv("CLASSPATH", "/tmp/evil.jar", 1);
    ::setenv("LD_PRELOAD", "", 1);
    ::setenv("QT_QPA_PLATFORMTHEME", "x", 1);
    ::setenv("DYLD_LIBRARY_PATH", "x", 1);
    ::setenv("ZARVO_KEPT_VARIABLE", "kept", 1);
    ::unsetenv("JAVA_TOOL_OPTIONS");  // unset names are no error

    scrubEnvironment();

    EXPECT_EQ(::getenv("CLASSPATH"), nullptr);
    EXPECT_EQ(::getenv("LD_PRELOAD"), nullptr);
    EXPECT_EQ(::getenv("QT_QPA_PLATFORMTHEME"), nullptr);
    EXPECT_EQ(::getenv("DYLD_LIBRARY_PATH"), nullptr);
    ASSERT_NE(::getenv("ZARVO_KEPT_VARIABLE"), nullptr);
    ASSERT_NE(::getenv("PATH"), nullptr);

    auto child = runChild("/usr/bin/env", {});
    EXPECT_EQ(child.standardOutput.find("CLASSPATH="), std::string::npos);
    EXPECT_NE(child.standardOutput.find("ZARVO_KEPT_VARIABLE=kept"), std::string::npos);
    EXPECT_NE(child.standardOutput.find("\nPATH="), std::string::npos);
    ::unsetenv("ZARVO_KEPT_VARIABLE");
}

}  // namespace
}  // namespace zarvo::test
