#pragma once

#include <QWidget>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/conversion_options.h"
#include "engine/recipe.h"
#include "jobs/language.h"
#include "jobs/recipe_run.h"

class QComboBox;
class QLabel;
class QPushButton;

namespace zelvan {

class RecipeEditor;

// The output page's choice between the single output of the option pages and a recipe, with
// New, Edit, Duplicate, Delete, Import and Export. Recipes are saved in the user's recipe folder;
// a shipped recipe that is edited is saved there under its name and takes its place.
class RecipeChooser : public QWidget {
    Q_OBJECT
public:
    // Asks for a name (empty: cancelled), a file to open or to save (empty: cancelled); shows an
    // editor (true: saved). Tests answer in their place.
    using NameAsker = std::function<QString(QWidget* parent, const QString& title, const QString& suggestion)>;
    using FileAsker = std::function<QString(QWidget* parent, const QString& title)>;
    using EditorRunner = std::function<bool(RecipeEditor& editor)>;

    explicit RecipeChooser(QWidget* parent = nullptr);

    // The folders searched (the first is the user's, where recipes are saved), and what the
    // editor shows as the run's options.
    void SetFolders(std::vector<std::string> folders);
    void SetRunOptions(std::function<ConversionOptions()> runOptions) { runOptions_ = std::move(runOptions); }
    void SetTexts(const LanguageFile* texts);
    void SetNameAsker(NameAsker asker) { askName_ = std::move(asker); }
    void SetFileAskers(FileAsker open, FileAsker save) {
        askOpen_ = std::move(open);
        askSave_ = std::move(save);
    }
    void SetEditorRunner(EditorRunner runner) { runEditor_ = std::move(runner); }
    // Says what went wrong (a message box by default).
    void SetComplainer(std::function<void(const QString& message)> complain) { complain_ = std::move(complain); }

    // Lists the recipes again, keeping the chosen one where it still exists.
    void Refresh();
    // The chosen recipe's name; empty for the single output.
    std::string ChosenRecipe() const;
    void ChooseRecipe(const std::string& name);
    QComboBox* List() const { return list_; }

    // The outputs of the chosen recipe over the run's options (prepared), or nullptr for the
    // single output. Throws Error for a recipe that cannot be read or made, and for two outputs
    // of one of the files that would be written to one path.
    std::shared_ptr<const std::vector<RunOutput>> OutputsFor(const ConversionOptions& runOptions,
                                                             const std::vector<std::string>& files) const;

    void NewRecipe();
    void EditRecipe();
    void DuplicateRecipe();
    void DeleteRecipe();
    void ImportRecipe();
    void ExportRecipe();

private:
    std::string PathOf(const std::string& name) const;
    std::string UserPath(const std::string& name) const;
    bool Edit(Recipe recipe);
    void UpdateButtons();
    void Complain(const std::string& message);
    QString Text(const char* key, const char* fallback) const;

    std::vector<std::string> folders_;
    std::vector<std::pair<std::string, std::string>> recipes_;  // name, path
    std::function<ConversionOptions()> runOptions_;
    const LanguageFile* texts_ = nullptr;
    NameAsker askName_;
    FileAsker askOpen_;
    FileAsker askSave_;
    EditorRunner runEditor_;
    std::function<void(const QString& message)> complain_;
    QComboBox* list_ = nullptr;
    QLabel* caption_ = nullptr;
    QPushButton* new_ = nullptr;
    QPushButton* edit_ = nullptr;
    QPushButton* duplicate_ = nullptr;
    QPushButton* delete_ = nullptr;
    QPushButton* import_ = nullptr;
    QPushButton* export_ = nullptr;
};

}  // namespace zelvan
