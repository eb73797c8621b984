#include <gtest/gtest.h>

#include "platform/platform.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    WSADATA data;
    WSAStartup(0x0202, &data);
    int result = RUN_ALL_TESTS();
    WSACleanup();
    return result;
}
