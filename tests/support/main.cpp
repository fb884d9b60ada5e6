// Shared main of the test programs: the application object lives on the main
// thread for the whole run, as in the programs themselves.
#include <gtest/gtest.h>

#include "framework/forms.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    fw::TApplication app;
    return RUN_ALL_TESTS();
}
