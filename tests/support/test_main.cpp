#include "translations/translation.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv); // the event loop the comm control and poller run on
    // The window's texts as the programs show them.
    if (!translations::Install(app)) {
        qCritical("the window's translation is not in this test");
        return 1;
    }
    return RUN_ALL_TESTS();
}
