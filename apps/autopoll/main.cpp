#include "autopoll/autopoll.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("autopoll"));
    poll::Form1 form(poll::Program::AutoPoll);
    autopoll::AutoPoll program(form);
    program.Form_Load();
    form.show();
    return QApplication::exec();
}
