#include "translations/translation.h"

#include <QTranslator>

#include <memory>

namespace translations {

bool Install(QCoreApplication& app)
{
    auto translator = std::make_unique<QTranslator>();
    if (!translator->load(QStringLiteral(":/i18n/polltools_zh_CN.qm")))
        return false;
    translator->setParent(&app); // lives as long as the application
    return QCoreApplication::installTranslator(translator.release());
}

} // namespace translations
