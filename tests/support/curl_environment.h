// libcurl's process-wide set-up, done once for a test program as main does it
// for the pre-starter. Include it in every test file that makes transfers.
#pragma once

#include <curl/curl.h>
#include <gtest/gtest.h>

namespace zarvo::test {

class CurlEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_EQ(curl_global_init(CURL_GLOBAL_ALL), CURLE_OK); }
};

// One registration however many files include this header.
inline const bool curlEnvironmentRegistered = (::testing::AddGlobalTestEnvironment(new CurlEnvironment), true);

}  // namespace zarvo::test
