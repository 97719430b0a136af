#include "translations/translation.h"

#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv); // windows need the widget application object
    // The window's texts as the programs show them.
    if (!translations::Install(app)) {
        qCritical("the window's translation is not in this test");
        return 1;
    }
    return RUN_ALL_TESTS();
}
