#include "bytepoll/bytepoll.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("bytepoll"));
    poll::Form1 form(poll::Program::BytePoll);
    bytepoll::BytePoll program(form);
    program.Form_Load();
    form.show();
    return QApplication::exec();
}
