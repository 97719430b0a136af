#include "textpoll/textpoll.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("textpoll"));
    poll::Form1 form(poll::Program::TextPoll);
    textpoll::TextPoll program(form);
    program.Form_Load();
    form.show();
    return QApplication::exec();
}
