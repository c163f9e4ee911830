#pragma once

#include <memory>
#include <string>

class QTranslator;

namespace zelvan {

// Qt's own texts (the Yes, No and OK of message boxes, the standard dialogs) in the language of
// the program's windows, from Qt's translation files. lang.ini's sections are named after
// languages ("Russian"); English, and any language Qt has no file for, keeps Qt's own texts.
class QtTranslations {
public:
    // `folder` holds the qtbase_*.qm files; by default Qt's translations folder.
    explicit QtTranslations(std::string folder = DefaultFolder());
    ~QtTranslations();  // takes its translation off the application
    QtTranslations(const QtTranslations&) = delete;
    QtTranslations& operator=(const QtTranslations&) = delete;

    // Replaces the installed translation by the one for this language; false when Qt's
    // English texts are used (English, an unknown name, a missing or unreadable file).
    bool Apply(const std::string& language);

    static std::string DefaultFolder();

private:
    void Remove();

    std::string folder_;
    std::unique_ptr<QTranslator> translator_;
};

}  // namespace zelvan
