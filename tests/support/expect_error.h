// Checks that a statement raises zarvo::Error with an exact code and message.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "trust/error.h"

#define EXPECT_ZARVO_ERROR(statement, expectedCode, expectedMessage)                      \
    do {                                                                                   \
        try {                                                                              \
            statement;                                                                     \
            ADD_FAILURE() << "no error from " #statement;                                  \
        } catch (const ::zarvo::Error& error_) {                                           \
            EXPECT_EQ(error_.code(), std::string(expectedCode));                           \
            EXPECT_EQ(std::string(error_.what()), std::string(expectedMessage));           \
            EXPECT_EQ(error_.status(), 0);                                                 \
        }                                                                                  \
    } while (false)
