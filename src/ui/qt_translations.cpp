#include "ui/qt_translations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QMetaEnum>
#include <QTranslator>

namespace zelvan {

QtTranslations::QtTranslations(std::string folder) : folder_(std::move(folder)) {}

QtTranslations::~QtTranslations() { Remove(); }

std::string QtTranslations::DefaultFolder() {
    return QLibraryInfo::path(QLibraryInfo::TranslationsPath).toStdString();
}

void QtTranslations::Remove() {
    if (!translator_) return;
    if (QCoreApplication::instance()) QCoreApplication::removeTranslator(translator_.get());
    translator_.reset();
}

bool QtTranslations::Apply(const std::string& language) {
    Remove();
    // The section's name is the language's English name, as QLocale spells it.
    bool known = false;
    const int value = QMetaEnum::fromType<QLocale::Language>().keyToValue(language.c_str(), &known);
    if (!known || value == QLocale::English || value == QLocale::AnyLanguage || value == QLocale::C) return false;
    auto translator = std::make_unique<QTranslator>();
    const QLocale locale(static_cast<QLocale::Language>(value));
    if (!translator->load(locale, QStringLiteral("qtbase"), QStringLiteral("_"), QString::fromStdString(folder_)))
        return false;
    if (!QCoreApplication::installTranslator(translator.get())) return false;
    translator_ = std::move(translator);
    return true;
}

}  // namespace zelvan
