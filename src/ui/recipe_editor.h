#pragma once

#include <QDialog>

#include <string>

#include "engine/conversion_options.h"
#include "engine/recipe.h"
#include "jobs/language.h"

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace zelvan {

class OptionPages;

// The window that edits a recipe: its outputs in a list, and for the chosen one the option pages
// showing its whole options, the run's values where the output changes nothing. What differs
// from the run's options is the output's change; the list of changes is shown below the pages.
class RecipeEditor : public QDialog {
    Q_OBJECT
public:
    RecipeEditor(Recipe recipe, ConversionOptions runOptions, const LanguageFile& texts, QWidget* parent = nullptr);

    // The recipe with every edit so far, the shown output's included.
    Recipe EditedRecipe();
    void ChooseOutput(int row);
    void AddOutput();
    void RemoveOutput();

    OptionPages* Pages() const { return pages_; }
    QListWidget* OutputList() const { return outputs_; }
    QLineEdit* NameEdit() const { return name_; }
    QLineEdit* SubfolderEdit() const { return subfolder_; }
    QLabel* ChangesLabel() const { return changes_; }

    // The keys an output may change: the option table's, less those of the whole run.
    static bool EditableKey(const OptionInfo& row);

private:
    void StoreShownOutput();
    void ShowChanges();
    QString Text(const char* key, const char* fallback) const;

    Recipe recipe_;
    ConversionOptions runOptions_;
    const LanguageFile& texts_;
    int shown_ = -1;
    OptionPages* pages_ = nullptr;
    QListWidget* outputs_ = nullptr;
    QLineEdit* name_ = nullptr;
    QLineEdit* subfolder_ = nullptr;
    QLabel* changes_ = nullptr;
    QPushButton* remove_ = nullptr;
};

}  // namespace zelvan
