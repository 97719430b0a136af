#include <QCoreApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv); // the event loop the comm control and poller run on
    return RUN_ALL_TESTS();
}
