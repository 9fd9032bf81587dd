// Runs the GoogleTest cases inside a Qt application: the loops deliver their
// work through the event loop of this (the main) thread.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

int main(int argc, char** argv) {
    int rc = 0;
    {
        QCoreApplication app(argc, argv);
        ::testing::InitGoogleTest(&argc, argv);
        rc = RUN_ALL_TESTS();
    }
#if defined(__SANITIZE_ADDRESS__)
    // Leaks are checked here, while everything the tests made is released.
    __lsan_do_leak_check();
#endif
    std::fflush(stdout);
    std::fflush(stderr);
    // Qt's PulseAudio plugin frees its client from a global destructor after
    // the application object is gone, and on a loaded machine libpulse can
    // abort there on an assertion in its main loop. The tests are over by
    // then, so the process ends without running global destructors.
    std::_Exit(rc);
}
