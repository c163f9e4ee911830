#include "ui/recipe_editor.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include "base/path_util.h"
#include "ui/option_pages.h"
#include "ui/recipe_chooser.h"
#include "ui/window_texts.h"

namespace zelvan {

RecipeEditor::RecipeEditor(Recipe recipe, ConversionOptions runOptions, const LanguageFile& texts, QWidget* parent)
    : QDialog(parent), recipe_(std::move(recipe)), runOptions_(std::move(runOptions)), texts_(texts) {
    setObjectName("RecipeEditor");
    setWindowTitle(Text("RecipeEditorTitle", "Recipe") + ": " + QString::fromStdString(recipe_.name));
    outputs_ = new QListWidget(this);
    outputs_->setObjectName("RecipeOutputs");
    auto* add = new QPushButton(Text("RecipeAddOutput", "Add output"), this);
    remove_ = new QPushButton(Text("RecipeRemoveOutput", "Remove"), this);
    name_ = new QLineEdit(this);
    name_->setObjectName("RecipeOutputName");
    subfolder_ = new QLineEdit(this);
    subfolder_->setObjectName("RecipeSubfolder");
    pages_ = new OptionPages(this);
    // A recipe is not chosen inside a recipe.
    pages_->Recipes()->hide();
    changes_ = new QLabel(this);
    changes_->setObjectName("RecipeChanges");
    changes_->setWordWrap(true);
    auto* hint = new QLabel(Text("RecipeInheritedHint", "Values this output does not change are the run's."), this);
    hint->setWordWrap(true);

    // Settings of the whole run cannot be changed for one output.
    for (const OptionInfo& row : OptionTable())
        if (row.IsOption() && row.control && !EditableKey(row))
            if (QWidget* control = pages_->findChild<QWidget*>(row.control)) control->setEnabled(false);

    auto* left = new QVBoxLayout;
    left->addWidget(outputs_, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(add);
    buttons->addWidget(remove_);
    left->addLayout(buttons);
    auto* form = new QFormLayout;
    form->addRow(Text("RecipeOutputNameCaption", "Name:"), name_);
    form->addRow(Text("RecipeSubfolderCaption", "Subfolder:"), subfolder_);
    left->addLayout(form);
    auto* right = new QVBoxLayout;
    right->addWidget(pages_, 1);
    right->addWidget(hint);
    right->addWidget(changes_);
    auto* body = new QHBoxLayout;
    body->addLayout(left, 1);
    body->addLayout(right, 3);
    auto* box = new QDialogButtonBox(QDialogButtonBox::Save | QDialogButtonBox::Cancel, this);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(body, 1);
    layout->addWidget(box);

    for (const RecipeOutput& output : recipe_.outputs) outputs_->addItem(QString::fromStdString(output.name));
    connect(outputs_, &QListWidget::currentRowChanged, this, [this](int row) { ChooseOutput(row); });
    connect(add, &QPushButton::clicked, this, [this] { AddOutput(); });
    connect(remove_, &QPushButton::clicked, this, [this] { RemoveOutput(); });
    connect(name_, &QLineEdit::textEdited, this, [this](const QString& text) {
        if (QListWidgetItem* item = outputs_->currentItem()) item->setText(text);
    });
    connect(box, &QDialogButtonBox::accepted, this, [this] {
        // A recipe that could not be read back is not accepted; the message says why.
        try {
            ParseRecipe(RecipeText(EditedRecipe()), recipe_.name + std::string(kRecipeExtension));
        } catch (const Error& e) {
            QMessageBox::warning(this, windowTitle(), QString::fromStdString(e.what()));
            return;
        }
        accept();
    });
    connect(box, &QDialogButtonBox::rejected, this, &QDialog::reject);
    // The pages in the main window's words; the options are shown after, so no edit keeps a text.
    ApplyWindowTexts(*this, "ZelvanMainform", texts_, texts_.CurrentLanguage(), MainWindowTextRules());
    pages_->ApplyLanguageLists(texts_);
    setWindowTitle(Text("RecipeEditorTitle", "Recipe") + ": " + QString::fromStdString(recipe_.name));
    if (!recipe_.outputs.empty()) outputs_->setCurrentRow(0);
    remove_->setEnabled(recipe_.outputs.size() > 1);
    resize(900, 560);
}

bool RecipeEditor::EditableKey(const OptionInfo& row) {
    if (!row.IsOption() || row.integer == &ConversionOptions::textOpacity) return false;
    return RecipeChangeProblem(row.key, OptionText(ConversionOptions(), row)).empty();
}

QString RecipeEditor::Text(const char* key, const char* fallback) const {
    const std::string text = texts_.LookupText(key);
    return QString::fromStdString(text == kTextNotFound ? std::string(fallback) : text);
}

void RecipeEditor::ChooseOutput(int row) {
    StoreShownOutput();
    shown_ = -1;
    if (row < 0 || row >= static_cast<int>(recipe_.outputs.size())) return;
    const RecipeOutput& output = recipe_.outputs[static_cast<std::size_t>(row)];
    // The changes over the run's options, [O] left a token: the masks as written, not expanded.
    ConversionOptions shownOptions = runOptions_;
    for (const auto& [key, value] : output.changes) {
        try {
            SetOption(shownOptions, key, value);
        } catch (const Error&) {
            // Checked when the recipe was read; a refused value shows the run's.
        }
    }
    pages_->ApplyOptions(shownOptions);
    name_->setText(QString::fromStdString(output.name));
    subfolder_->setText(QString::fromStdString(output.subfolder));
    shown_ = row;
    if (outputs_->currentRow() != row) outputs_->setCurrentRow(row);
    ShowChanges();
}

// The pages' values that differ from the run's become the output's changes.
void RecipeEditor::StoreShownOutput() {
    if (shown_ < 0 || shown_ >= static_cast<int>(recipe_.outputs.size())) return;
    RecipeOutput& output = recipe_.outputs[static_cast<std::size_t>(shown_)];
    const ConversionOptions edited = pages_->Options();
    output.changes.clear();
    for (const OptionInfo& row : OptionTable()) {
        if (!EditableKey(row)) continue;
        const std::string value = OptionText(edited, row);
        if (value != OptionText(runOptions_, row)) output.changes.emplace_back(row.key, value);
    }
    const std::string name = name_->text().trimmed().toStdString();
    if (!name.empty()) output.name = name;
    try {
        output.subfolder = NormalisedSubfolder(subfolder_->text().toStdString());
    } catch (const Error&) {
        // Kept as typed: the check on saving names the problem.
        output.subfolder = subfolder_->text().toStdString();
    }
}

void RecipeEditor::ShowChanges() {
    if (shown_ < 0) return;
    StoreShownOutput();
    const RecipeOutput& output = recipe_.outputs[static_cast<std::size_t>(shown_)];
    QString list;
    for (const auto& [key, value] : output.changes)
        list += (list.isEmpty() ? "" : ", ") + QString::fromStdString(key + "=" + value);
    changes_->setText(Text("RecipeChangesCaption", "Changed for this output:") + " " +
                      (list.isEmpty() ? Text("RecipeNoChanges", "nothing") : list));
}

Recipe RecipeEditor::EditedRecipe() {
    StoreShownOutput();
    return recipe_;
}

void RecipeEditor::AddOutput() {
    StoreShownOutput();
    RecipeOutput output;
    int n = static_cast<int>(recipe_.outputs.size()) + 1;
    auto taken = [this](const std::string& name) {
        for (const RecipeOutput& o : recipe_.outputs)
            if (EqualsIgnoreCase(o.name, name)) return true;
        return false;
    };
    while (taken("output-" + std::to_string(n))) ++n;
    output.name = "output-" + std::to_string(n);
    recipe_.outputs.push_back(output);
    shown_ = -1;
    outputs_->addItem(QString::fromStdString(output.name));
    outputs_->setCurrentRow(outputs_->count() - 1);
    remove_->setEnabled(recipe_.outputs.size() > 1);
}

void RecipeEditor::RemoveOutput() {
    const int row = outputs_->currentRow();
    if (row < 0 || recipe_.outputs.size() <= 1) return;
    shown_ = -1;
    recipe_.outputs.erase(recipe_.outputs.begin() + row);
    delete outputs_->takeItem(row);
    ChooseOutput(outputs_->currentRow());
    remove_->setEnabled(recipe_.outputs.size() > 1);
}

}  // namespace zelvan
