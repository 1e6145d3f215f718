#include <gtest/gtest.h>

#include <stdio.h>

// Every run ends at the key prompt; at the end of standard input it returns
// at once.
int main(int argc, char** argv)
{
    if (freopen("/dev/null", "r", stdin) == nullptr)
        return 1;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
