#include "ui/recipe_chooser.h"

#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

#include <cstdio>

#include "base/path_util.h"
#include "ui/recipe_editor.h"

namespace zelvan {
namespace {

const LanguageFile& NoTexts() {
    static const LanguageFile none;
    return none;
}

}  // namespace

RecipeChooser::RecipeChooser(QWidget* parent) : QWidget(parent) {
    caption_ = new QLabel(this);
    caption_->setObjectName("RecipeCaption");
    list_ = new QComboBox(this);
    list_->setObjectName("RecipeList");
    list_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    list_->setMinimumContentsLength(16);
    caption_->setBuddy(list_);
    auto button = [this](const char* name) {
        auto* b = new QPushButton(this);
        b->setObjectName(name);
        return b;
    };
    new_ = button("RecipeNew");
    edit_ = button("RecipeEdit");
    duplicate_ = button("RecipeDuplicate");
    delete_ = button("RecipeDelete");
    import_ = button("RecipeImport");
    export_ = button("RecipeExport");
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->addWidget(caption_, 0, 0);
    grid->addWidget(list_, 0, 1, 1, 3);
    // Two rows of three: six buttons side by side would widen the option pages and squeeze the
    // file list at the window's minimum size.
    int index = 0;
    for (QPushButton* b : {new_, edit_, duplicate_, delete_, import_, export_}) {
        grid->addWidget(b, 1 + index / 3, 1 + index % 3);
        ++index;
    }
    grid->setColumnStretch(4, 1);

    askName_ = [](QWidget* p, const QString& title, const QString& suggestion) {
        return QInputDialog::getText(p, title, title, QLineEdit::Normal, suggestion);
    };
    askOpen_ = [](QWidget* p, const QString& title) {
        return QFileDialog::getOpenFileName(p, title, QString(), "Recipes (*.ini)");
    };
    askSave_ = [](QWidget* p, const QString& title) {
        return QFileDialog::getSaveFileName(p, title, QString(), "Recipes (*.ini)");
    };
    runEditor_ = [](RecipeEditor& editor) { return editor.exec() == QDialog::Accepted; };
    runOptions_ = [] { return DefaultConversionOptions(); };

    connect(new_, &QPushButton::clicked, this, [this] { NewRecipe(); });
    connect(edit_, &QPushButton::clicked, this, [this] { EditRecipe(); });
    connect(duplicate_, &QPushButton::clicked, this, [this] { DuplicateRecipe(); });
    connect(delete_, &QPushButton::clicked, this, [this] { DeleteRecipe(); });
    connect(import_, &QPushButton::clicked, this, [this] { ImportRecipe(); });
    connect(export_, &QPushButton::clicked, this, [this] { ExportRecipe(); });
    connect(list_, &QComboBox::currentIndexChanged, this, [this] { UpdateButtons(); });
    SetTexts(nullptr);
}

QString RecipeChooser::Text(const char* key, const char* fallback) const {
    const std::string text = texts_ ? texts_->LookupText(key) : std::string(kTextNotFound);
    return QString::fromStdString(text == kTextNotFound ? std::string(fallback) : text);
}

void RecipeChooser::SetTexts(const LanguageFile* texts) {
    texts_ = texts;
    caption_->setText(Text("RecipeCaption", "Recipe:"));
    new_->setText(Text("RecipeNew", "New"));
    edit_->setText(Text("RecipeEdit", "Edit"));
    duplicate_->setText(Text("RecipeDuplicate", "Duplicate"));
    delete_->setText(Text("RecipeDelete", "Delete"));
    import_->setText(Text("RecipeImport", "Import..."));
    export_->setText(Text("RecipeExport", "Export..."));
    Refresh();
}

void RecipeChooser::SetFolders(std::vector<std::string> folders) {
    folders_ = std::move(folders);
    Refresh();
}

void RecipeChooser::Refresh() {
    const std::string chosen = ChosenRecipe();
    recipes_ = ListRecipes(folders_);
    const QSignalBlocker blocker(list_);
    list_->clear();
    list_->addItem(Text("RecipeSingleOutput", "Single output (the options below)"));
    for (const auto& [name, path] : recipes_) list_->addItem(QString::fromStdString(name));
    ChooseRecipe(chosen);
    UpdateButtons();
}

std::string RecipeChooser::ChosenRecipe() const {
    const int row = list_->currentIndex();
    if (row <= 0 || row > static_cast<int>(recipes_.size())) return {};
    return recipes_[static_cast<std::size_t>(row - 1)].first;
}

void RecipeChooser::ChooseRecipe(const std::string& name) {
    int row = 0;
    for (std::size_t i = 0; i < recipes_.size(); ++i)
        if (recipes_[i].first == name) row = static_cast<int>(i) + 1;
    list_->setCurrentIndex(row);
    UpdateButtons();
}

std::string RecipeChooser::PathOf(const std::string& name) const {
    for (const auto& [n, path] : recipes_)
        if (n == name) return path;
    return {};
}

std::string RecipeChooser::UserPath(const std::string& name) const {
    return (folders_.empty() ? UserRecipeFolder() : folders_.front()) + name + std::string(kRecipeExtension);
}

void RecipeChooser::UpdateButtons() {
    const std::string chosen = ChosenRecipe();
    edit_->setEnabled(!chosen.empty());
    duplicate_->setEnabled(!chosen.empty());
    export_->setEnabled(!chosen.empty());
    // Only the user's own recipes can be deleted; a shipped one comes back with the program.
    delete_->setEnabled(!chosen.empty() && PathOf(chosen) == UserPath(chosen));
}

void RecipeChooser::Complain(const std::string& message) {
    if (complain_) complain_(QString::fromStdString(message));
    else QMessageBox::warning(this, Text("RecipeCaption", "Recipe:"), QString::fromStdString(message));
}

bool RecipeChooser::Edit(Recipe recipe) {
    RecipeEditor editor(std::move(recipe), runOptions_(), texts_ ? *texts_ : NoTexts(), this);
    if (!runEditor_(editor)) return false;
    const Recipe edited = editor.EditedRecipe();
    try {
        SaveRecipe(edited, UserPath(edited.name));
    } catch (const Error& e) {
        Complain(e.what());
        return false;
    }
    Refresh();
    ChooseRecipe(edited.name);
    return true;
}

void RecipeChooser::NewRecipe() {
    const std::string name = askName_(this, Text("RecipeNewName", "Name of the new recipe:"), "my-recipe").trimmed().toStdString();
    if (name.empty()) return;
    if (std::string problem = OutputNameProblem(name); !problem.empty()) return Complain(problem);
    Recipe recipe;
    recipe.name = name;
    recipe.outputs.push_back({"output-1", {}, {}});
    Edit(std::move(recipe));
}

void RecipeChooser::EditRecipe() {
    const std::string chosen = ChosenRecipe();
    if (chosen.empty()) return;
    try {
        Edit(LoadRecipe(PathOf(chosen)));
    } catch (const Error& e) {
        Complain(e.what());
    }
}

void RecipeChooser::DuplicateRecipe() {
    const std::string chosen = ChosenRecipe();
    if (chosen.empty()) return;
    const std::string name =
        askName_(this, Text("RecipeNewName", "Name of the new recipe:"), QString::fromStdString(chosen + "-copy"))
            .trimmed()
            .toStdString();
    if (name.empty()) return;
    if (std::string problem = OutputNameProblem(name); !problem.empty()) return Complain(problem);
    if (!PathOf(name).empty()) return Complain("a recipe named " + name + " exists already");
    try {
        Recipe recipe = LoadRecipe(PathOf(chosen));
        recipe.name = name;
        SaveRecipe(recipe, UserPath(name));
    } catch (const Error& e) {
        return Complain(e.what());
    }
    Refresh();
    ChooseRecipe(name);
}

void RecipeChooser::DeleteRecipe() {
    const std::string chosen = ChosenRecipe();
    if (chosen.empty() || PathOf(chosen) != UserPath(chosen)) return;
    if (std::remove(UserPath(chosen).c_str()) != 0) return Complain(UserPath(chosen) + ": cannot be deleted");
    Refresh();
}

void RecipeChooser::ImportRecipe() {
    const std::string path = askOpen_(this, Text("RecipeImport", "Import...")).toStdString();
    if (path.empty()) return;
    try {
        // Read first: a damaged file is refused with its place, and not copied.
        const Recipe recipe = LoadRecipe(path);
        SaveRecipe(recipe, UserPath(recipe.name));
        Refresh();
        ChooseRecipe(recipe.name);
    } catch (const Error& e) {
        Complain(e.what());
    }
}

void RecipeChooser::ExportRecipe() {
    const std::string chosen = ChosenRecipe();
    if (chosen.empty()) return;
    std::string path = askSave_(this, Text("RecipeExport", "Export...")).toStdString();
    if (path.empty()) return;
    if (!EqualsIgnoreCase(ExtractFileExt(path), kRecipeExtension)) path += std::string(kRecipeExtension);
    try {
        SaveRecipe(LoadRecipe(PathOf(chosen)), path);
    } catch (const Error& e) {
        Complain(e.what());
    }
}

std::shared_ptr<const std::vector<RunOutput>> RecipeChooser::OutputsFor(const ConversionOptions& runOptions,
                                                                        const std::vector<std::string>& files) const {
    const std::string chosen = ChosenRecipe();
    if (chosen.empty()) return nullptr;
    auto outputs = std::make_shared<const std::vector<RunOutput>>(ResolveRecipe(LoadRecipe(PathOf(chosen)), runOptions));
    std::vector<QueuedFile> queue;
    for (const std::string& file : files) queue.push_back({file, {}, 0, {}});
    const std::vector<OutputClash> clashes = FindRecipeClashes(*outputs, queue);
    if (!clashes.empty()) throw Error(ClashText(clashes.front()));
    return outputs;
}

}  // namespace zelvan
