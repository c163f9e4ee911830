#pragma once

#include <QColor>
#include <QDateTime>
#include <QString>
#include <QTabWidget>

#include <array>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/conversion_options.h"
#include "engine/mask_language.h"
#include "jobs/language.h"

class QAction;
class QFont;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QRadioButton;
class QSlider;
class QSpinBox;
class QTimer;

namespace zelvan {
class RecipeChooser;
}

namespace zelvan {

// The option pages below the preview: every conversion setting has one control here, and the
// controls are the options (Options() reads them, ApplyOptions() sets them). The option table
// gives each option's control its objectName, range and default; the objectNames are lang.ini
// keys ("ZelvanMainform" + name), so that the main window's ApplyWindowTexts translates them.
class OptionPages : public QTabWidget {
    Q_OBJECT
public:
    // Asks for the output folder; returns the empty text when the user cancels.
    using FolderChooser = std::function<QString(QWidget* parent, const QString& title, const QString& current)>;
    // Asks for the text stamp's font (face, size, style; the colour is kept); nothing when the
    // user cancels.
    using FontChooser = std::function<std::optional<TextFont>(QWidget* parent, const TextFont& current)>;
    // Asks for the text stamp's colour; an invalid colour when the user cancels.
    using ColourChooser = std::function<QColor(QWidget* parent, const QColor& current)>;
    using Clock = std::function<QDateTime()>;

    explicit OptionPages(QWidget* parent = nullptr);

    // Sets every control from `options` in the option table's order, each control's own
    // reaction running as it would for the user (value labels, the enabling of the resize
    // controls and of the format list). The stamp's opacity always shows 100.
    void ApplyOptions(const ConversionOptions& options);
    // Every option as the controls hold it now.
    ConversionOptions Options() const;

    // The filter and text-position lists in the file's current language, keeping the selected
    // rows; the pages' tab captions (keys "ZelvanMainformTabSheet1" and so on); the title of the
    // folder browser. The main window calls it after ApplyWindowTexts.
    void ApplyLanguageLists(const LanguageFile& file);

    void SetOutputPathText(const std::string& path);
    void SetRenameMaskText(const std::string& mask);
    void SetThreads(int threads);  // within 1 to the processor count

    const TextFont& TextStampFont() const { return font_; }
    void SetTextStampFont(const TextFont& font);

    // Enables the resize controls that the chosen resize mode uses.
    void UpdateResizeControls();
    // Refill the two live examples, of the rename mask and of the text stamp.
    void UpdateRenameExample();
    void UpdateTextExample();
    // The examples in full; the labels cut them at their end when they are too long.
    QString RenameExampleText() const { return renameExampleText_; }
    // Renaming is on and the mask has no [E]: the output files would have no extension. A
    // warning beside the example says so meanwhile.
    bool RenameMaskLacksExtension() const;
    QString TextExampleText() const { return textExampleText_; }

    // True from choosing a size preset until the preset timer's next tick: the width and
    // height set by the preset then leave the preset list alone.
    bool ApplyingPreset() const { return applyingPreset_; }

    // The dialogs and the clock: the real ones by default; tests run unattended and with fixed
    // dates.
    void SetFolderChooser(FolderChooser chooser) { folderChooser_ = std::move(chooser); }
    void SetFontChooser(FontChooser chooser) { fontChooser_ = std::move(chooser); }
    void SetColourChooser(ColourChooser chooser) { colourChooser_ = std::move(chooser); }
    void SetClock(Clock clock) { clock_ = std::move(clock); }
    void SetDateConventions(const MaskDateConventions& dates) { dates_ = dates; }

    // The output page's choice of a recipe instead of the single output these pages describe.
    RecipeChooser* Recipes() const { return recipes_; }

    // The rename page's variable menu (its button opens it).
    QMenu* RenameVariableMenu() const { return renameVariableMenu_; }

    // Never narrower than every tab's caption: the tab bar never needs its scroll buttons.
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // A page of one output format: a slider with its caption and value, check boxes below.
    struct EncoderPage {
        struct Check {
            const char* key = nullptr;  // the option's key; nullptr ends the list
            const char* text = nullptr;
        };
        const char* pageName;
        const char* tab;
        const char* captionName;
        const char* caption;
        const char* valueName;
        const char* sliderKey;
        int tickInterval;
        const char* valueSuffix;
        std::array<Check, 5> checks;
        bool withTarget = false;  // the target size / visual quality controls below the checks
    };
    void BuildEncoderPage(const EncoderPage& page);
    void BuildEncoderPages();
    void BuildModernFormatsPage();
    // Target size and target visual quality, for every lossy format; enables the box its mode uses.
    QGroupBox* BuildTargetGroup(QWidget* page);
    void BuildRenamePage();
    void BuildResizePage();
    void BuildTextPage();
    void BuildOutputPage();
    void BuildVariableMenus();
    QAction* AddVariable(QMenu* menu, const char* name, const char* caption, const char* token, QLineEdit* target);

    // The list of an option that stores a list index, with its items and the option's default
    // row chosen; it remembers the last row chosen that the option knows.
    QComboBox* MakeOptionList(QWidget* parent, const char* key, const QStringList& items);
    // A slider of an option with the label beside it that shows its value (`suffix` after it).
    QSlider* MakeOptionSlider(QWidget* parent, const char* key, int tickInterval, QLabel* valueLabel,
                              const QString& suffix);
    void ShowSliderValues();
    // The control of an option's row: found by the objectName the table gives it.
    QWidget* ControlOf(const OptionInfo& row) const;
    // An Integer or Boolean option's value into its control, and back.
    void ShowValue(const OptionInfo& row, QWidget* control, int value);
    int ShownValue(const OptionInfo& row, const QWidget* control) const;

    void SizeBoxChanged();
    void PresetChosen(int index);
    void BrowseOutputFolder();
    void ChooseFont();
    void ChooseColour();
    void ShowFontSummary();
    void ChooseBackgroundColour();
    void SetBackgroundColour(int rgb);
    MaskSubject ExampleSubject() const;
    int AllTabsWidth() const;
    void ShowElided(QLabel* label, const QString& text);

    QWidget* outputPage_ = nullptr;
    struct SliderValue {
        QSlider* slider;
        QLabel* label;
        QString suffix;
    };
    std::vector<SliderValue> sliderValues_;
    // Rename
    QCheckBox* renameEnabled_ = nullptr;
    QLineEdit* renameMask_ = nullptr;
    QWidget* renameWarning_ = nullptr;
    QSpinBox* counterDigits_ = nullptr;
    QLabel* renameExample_ = nullptr;
    QPushButton* renameVariableButton_ = nullptr;
    QMenu* renameVariableMenu_ = nullptr;
    // Resize
    QRadioButton* noResize_ = nullptr;
    QRadioButton* resizeToBox_ = nullptr;
    QRadioButton* resizeByPercent_ = nullptr;
    QSpinBox* resizeWidth_ = nullptr;
    QSpinBox* resizeHeight_ = nullptr;
    QLabel* aspectRatio_ = nullptr;
    QSpinBox* resizePercent_ = nullptr;
    QCheckBox* keepProportions_ = nullptr;
    QCheckBox* enlargeSmaller_ = nullptr;
    QCheckBox* smartCrop_ = nullptr;
    QCheckBox* fastJpegDownscale_ = nullptr;
    QComboBox* resamplingFilter_ = nullptr;
    QComboBox* sizePresets_ = nullptr;
    QTimer* presetTimer_ = nullptr;  // ends ApplyingPreset
    // Text
    QLineEdit* textStampMask_ = nullptr;
    QLabel* textStampExample_ = nullptr;
    QComboBox* textPosition_ = nullptr;
    QPushButton* textVariableButton_ = nullptr;
    QMenu* textVariableMenu_ = nullptr;
    QPushButton* fontButton_ = nullptr;
    QPushButton* colourButton_ = nullptr;
    QLabel* fontSummary_ = nullptr;
    // Output settings
    QLineEdit* outputFolder_ = nullptr;
    QSpinBox* threads_ = nullptr;
    QComboBox* colourProfile_ = nullptr;
    QComboBox* metadata_ = nullptr;
    QPushButton* backgroundButton_ = nullptr;
    RecipeChooser* recipes_ = nullptr;
    int backgroundColour_ = 0xFFFFFF;  // 0xRRGGBB

    TextFont font_;
    QString renameExampleText_;
    QString textExampleText_;
    QString selectDirTitle_;
    bool applyingPreset_ = false;
    // The rows last chosen in the lists, by option: a list that shows no row (a language's list
    // shorter than the stored index) still converts with the choice the user made.
    std::map<const OptionInfo*, int> lastChoice_;

    FolderChooser folderChooser_;
    FontChooser fontChooser_;
    ColourChooser colourChooser_;
    Clock clock_;
    MaskDateConventions dates_;
};

// The font of the text stamp as a Qt font (face, points, bold, italic, underline, strike-out).
QFont QFontOf(const TextFont& font);

}  // namespace zelvan
