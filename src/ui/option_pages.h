#pragma once

#include <QDateTime>
#include <QString>
#include <QTabWidget>

#include <functional>
#include <optional>
#include <string>

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

// The option pages below the preview: every conversion setting has one control here, and the
// controls are the options (Options() reads them, ApplyOptions() sets them). Each control is a
// public member named, and with an object name, as lang.ini keys it ("ZelvanMainform" + name),
// so that the main window's ApplyWindowTexts finds and translates them.
class OptionPages : public QTabWidget {
    Q_OBJECT
public:
    // Asks for the output folder; returns the empty text when the user cancels.
    using FolderChooser = std::function<QString(QWidget* parent, const QString& title, const QString& current)>;
    // Asks for the text stamp's font and colour; nothing when the user cancels.
    using FontChooser = std::function<std::optional<TextFont>(QWidget* parent, const TextFont& current)>;
    using Clock = std::function<QDateTime()>;

    explicit OptionPages(QWidget* parent = nullptr);

    // Sets every control from `options` in the order the settings are loaded at start-up, each
    // control's own reaction running as it would for the user (value labels, the enabling of
    // the resize controls and of the format list).
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
    // Refill the two live examples (Label17 and Label25).
    void UpdateRenameExample();
    void UpdateTextExample();
    // The examples in full; the labels cut them at their end when they are too long.
    QString RenameExampleText() const { return renameExample_; }
    QString TextExampleText() const { return textExample_; }

    // True from choosing a size preset until Timer7's next tick: the width and height set by
    // the preset then leave the preset list alone.
    bool ApplyingPreset() const { return applyingPreset_; }

    // Hooks for the dialogs and the clock, so that tests run unattended and with fixed dates.
    void SetFolderChooser(FolderChooser chooser) { folderChooser_ = std::move(chooser); }
    void SetFontChooser(FontChooser chooser) { fontChooser_ = std::move(chooser); }
    void SetClock(Clock clock) { clock_ = std::move(clock); }
    void SetDateConventions(const MaskDateConventions& dates) { dates_ = dates; }

    // The pages, in tab order.
    QWidget* TabSheet1;   // JPG
    QWidget* TabSheet2;   // PNG
    QWidget* TabSheet8;   // JPEG 2000
    QWidget* TabSheet4;   // Rename
    QWidget* TabSheet6;   // Resize
    QWidget* TabSheet12;  // Text
    QWidget* TabSheet7;   // Output settings

    // JPG
    QLabel* Label1;
    QLabel* Label3;  // the quality, "85%"
    QSlider* TrackBar1;
    QCheckBox* CheckBox1;
    // PNG
    QLabel* Label2;
    QLabel* Label4;  // the compression level
    QSlider* TrackBar2;
    QCheckBox* CheckBox9;
    QCheckBox* CheckBox10;
    // JPEG 2000
    QLabel* Label20;
    QLabel* Label21;  // the quality, "75%"
    QSlider* TrackBar3;
    QCheckBox* CheckBox11;
    // Rename
    QCheckBox* CheckBox5;
    QLabel* Label10;
    QLineEdit* Edit2;
    QLabel* Label11;
    QSpinBox* SpinEdit5;
    QPushButton* PngBitBtn6;
    QLabel* Label16;
    QLabel* Label17;  // the rename example
    // Resize
    QGroupBox* GroupBox3;
    QRadioButton* NoResizeRadioButton;
    QRadioButton* ChangeSizeRadioButton;
    QRadioButton* ChangeSizePercentRadioButton;
    QSpinBox* SpinEdit2;  // width
    QSpinBox* SpinEdit3;  // height
    QLabel* Label19;      // the box's aspect ratio
    QCheckBox* CheckBox4;
    QSpinBox* SpinEdit4;  // percent
    QLabel* Label8;
    QCheckBox* CheckBox6;
    QLabel* Label14;
    QComboBox* ComboBox3;  // resampling filter
    QLabel* Label15;
    QComboBox* ComboBox4;  // size presets
    QCheckBox* CheckBox7;
    // Text
    QCheckBox* CheckBox12;
    QLabel* Label23;
    QLineEdit* Edit3;
    QPushButton* PngBitBtn5;
    QPushButton* PngBitBtn4;
    QLabel* Label24;
    QLabel* Label25;  // the text example
    QLabel* Label22;
    QComboBox* ComboBox5;  // text position
    QCheckBox* CheckBox14;
    QSpinBox* SpinEdit6;  // the stamp's opacity: hidden, always 100
    // Output settings
    QLabel* Label5;
    QLineEdit* Edit1;
    QPushButton* PngBitBtn3;
    QLabel* Label6;
    QComboBox* ComboBox1;  // output format
    QLabel* Label7;
    QSpinBox* SpinEdit1;  // threads
    QCheckBox* CheckBox2;
    QCheckBox* CheckBox3;
    QCheckBox* CheckBox8;

    QTimer* Timer7;            // ends ApplyingPreset
    QMenu* RenameVariableMenu;  // opened by PngBitBtn6
    QMenu* TextVariableMenu;    // opened by PngBitBtn5
    QMenu* Addsymbol1;          // the symbols, a submenu of the text menu

    // Wide enough for every tab's caption, so a window that can afford it shows them all
    // without the tab bar's scroll buttons.
    QSize sizeHint() const override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildJpegPage();
    void BuildPngPage();
    void BuildJpeg2000Page();
    void BuildRenamePage();
    void BuildResizePage();
    void BuildTextPage();
    void BuildOutputPage();
    void BuildVariableMenus();
    QAction* AddVariable(QMenu* menu, const char* name, const char* caption, const char* token, QLineEdit* target);

    void SizeBoxChanged();
    void PresetChosen(int index);
    void BrowseOutputFolder();
    void ChooseFont();
    void ShowFontSummary();
    MaskSubject ExampleSubject() const;
    void ShowElided(QLabel* label, const QString& text);

    TextFont font_;
    QLabel* fontSummary_ = nullptr;
    QString renameExample_;
    QString textExample_;
    QString selectDirTitle_;
    bool applyingPreset_ = false;
    // The rows last chosen in the lists: a list that shows no row (a language's list shorter
    // than the stored index) still converts with the choice the user made.
    int lastFormat_ = 0;
    int lastFilter_ = 5;
    int lastPosition_ = 6;

    FolderChooser folderChooser_;
    FontChooser fontChooser_;
    Clock clock_;
    MaskDateConventions dates_;
};

// The font of the text stamp as a Qt font (face, points, bold, italic, underline, strike-out).
QFont QFontOf(const TextFont& font);

}  // namespace zelvan
