#include "ui/option_pages.h"
#include "ui/recipe_chooser.h"

#include <QAbstractItemView>
#include <QAction>
#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QCursor>
#include <QEvent>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDialog>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QProxyStyle>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QSpinBox>
#include <QStyle>
#include <QTabBar>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <type_traits>

#include "engine/output_formats.h"
#include "jobs/size_presets.h"
#include "ui/image_size.h"
#include "ui/window_texts.h"

namespace zelvan {

namespace {

template <typename T>
T* Named(T* widget, const char* name) {
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

QLabel* MakeLabel(const char* name, const QString& text, QWidget* parent) {
    return Named(new QLabel(text, parent), name);
}

// The table's row of an option that has a control on these pages.
const OptionInfo& OptionRow(const char* key) {
    const OptionInfo* row = FindOption(key);
    Q_ASSERT(row != nullptr && row->control != nullptr);
    return *row;
}

// The control that shows an option, named as the option table names it, with the option's
// range and default.
template <typename Control>
Control* OptionControl(QWidget* parent, const char* key) {
    const OptionInfo& row = OptionRow(key);
    auto* control = Named(new Control(parent), row.control);
    if constexpr (std::is_same_v<Control, QSlider> || std::is_same_v<Control, QSpinBox>) {
        const auto [minimum, maximum] = OptionRange(row);
        control->setRange(minimum, maximum);
        control->setValue(OptionDefault(row));
    } else if constexpr (std::is_same_v<Control, QCheckBox>) {
        control->setChecked(OptionDefault(row) != 0);
    } else if constexpr (std::is_same_v<Control, QLineEdit>) {
        control->setText(QString::fromUtf8(row.defaultText));
    }
    return control;
}

QCheckBox* OptionCheckBox(QWidget* parent, const char* key, const QString& text) {
    auto* box = OptionControl<QCheckBox>(parent, key);
    box->setText(text);
    return box;
}

QSpinBox* OptionSpinBox(QWidget* parent, const char* key) {
    auto* spin = OptionControl<QSpinBox>(parent, key);
    spin->setAccelerated(true);
    return spin;
}

QWidget* MakePage(const char* name) { return Named(new QWidget, name); }

// Eight tabs in one row beside the file list: each tab keeps a third of the style's padding
// around its caption, so the list keeps its room at the first-start size.
class CompactTabStyle : public QProxyStyle {
public:
    int pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const override {
        const int value = QProxyStyle::pixelMetric(metric, option, widget);
        return metric == PM_TabBarTabHSpace ? value / 3 : value;
    }
};

// The open list drops below its box and scrolls after 15 rows. Without the style sheet's
// property, the Fusion style opens a list over its box, as tall as the screen allows.
void DropDownBelow(QComboBox* list) {
    list->setStyleSheet(QStringLiteral("QComboBox { combobox-popup: 0; }"));
    list->setMaxVisibleItems(15);
}

QStringList ListItems(const std::string& text) {
    QStringList items = QString::fromStdString(text).split(';');
    // A trailing ";" ends the last line rather than starting an empty one.
    if (items.size() > 1 && items.back().isEmpty()) items.removeLast();
    return items;
}

void ReplaceItems(QComboBox* list, const QStringList& items) {
    const int selected = list->currentIndex();
    const QSignalBlocker quiet(list);
    list->clear();
    list->addItems(items);
    list->setCurrentIndex(selected < list->count() ? selected : -1);
    list->view()->setMinimumWidth(list->view()->sizeHintForColumn(0) + 24);
}

// Whether a stored list index names a choice the conversion knows (its option's range), whatever
// the list in the window shows.
bool KnownChoice(const OptionInfo& row, int index) {
    const auto [minimum, maximum] = OptionRange(row);
    return index >= minimum && index <= maximum;
}

// A page's layout with the margins and spacing of a compact dialog.
template <typename Layout>
Layout* PageLayout(QWidget* page) {
    auto* layout = new Layout(page);
    layout->setContentsMargins(9, 9, 9, 6);
    return layout;
}

QColor ColourOf(const TextFont& font) {
    const auto c = static_cast<std::uint32_t>(font.colour);
    return QColor(static_cast<int>(c & 0xFF), static_cast<int>((c >> 8) & 0xFF), static_cast<int>((c >> 16) & 0xFF));
}

std::int32_t ColourValue(const QColor& colour) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(colour.red()) |
                                     (static_cast<std::uint32_t>(colour.green()) << 8) |
                                     (static_cast<std::uint32_t>(colour.blue()) << 16));
}

QString DefaultFolderChooser(QWidget* parent, const QString& title, const QString& current) {
    return QFileDialog::getExistingDirectory(parent, title, current,
                                             QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
}

std::optional<TextFont> DefaultFontChooser(QWidget* parent, const TextFont& current) {
    bool accepted = false;
    // The dialog lists installed families only: it opens on the family the stamp is really drawn
    // with (a stored face that is not installed is substituted), not on the dialog's default.
    QFont initial = QFontOf(current);
    const QFontInfo drawn(initial);
    initial.setFamily(drawn.family());
    // The style by its name as well, or the dialog selects its list's first style (Italic).
    initial.setStyleName(drawn.styleName());
    // Outline fonts only: the stamp is drawn at any size.
    const QFont chosen = QFontDialog::getFont(&accepted, initial, parent, QString(), QFontDialog::ScalableFonts);
    if (!accepted) return std::nullopt;
    TextFont font = current;
    font.face = chosen.family().toStdString();
    if (chosen.pointSize() > 0) font.sizePoints = chosen.pointSize();
    font.style = (chosen.bold() ? 1 : 0) | (chosen.italic() ? 2 : 0) | (chosen.underline() ? 4 : 0) |
                 (chosen.strikeOut() ? 8 : 0);
    return font;
}

QColor DefaultColourChooser(QWidget* parent, const QColor& current) { return QColorDialog::getColor(current, parent); }

}  // namespace

QFont QFontOf(const TextFont& font) {
    QFont qfont(QString::fromStdString(font.face));
    if (font.sizePoints > 0) qfont.setPointSize(font.sizePoints);
    qfont.setBold((font.style & 1) != 0);
    qfont.setItalic((font.style & 2) != 0);
    qfont.setUnderline((font.style & 4) != 0);
    qfont.setStrikeOut((font.style & 8) != 0);
    return qfont;
}

OptionPages::OptionPages(QWidget* parent)
    : QTabWidget(parent),
      folderChooser_(DefaultFolderChooser),
      fontChooser_(DefaultFontChooser),
      colourChooser_(DefaultColourChooser),
      clock_([] { return QDateTime::currentDateTime(); }),
      dates_(MaskDateConventions::System()) {
    setObjectName("PageControl1");
    auto* tabStyle = new CompactTabStyle;
    tabStyle->setParent(tabBar());
    tabBar()->setStyle(tabStyle);
    BuildEncoderPages();
    BuildRenamePage();
    BuildResizePage();
    BuildTextPage();
    BuildOutputPage();
    BuildVariableMenus();

    presetTimer_ = Named(new QTimer(this), "Timer7");
    presetTimer_->setInterval(1);
    presetTimer_->setSingleShot(true);
    connect(presetTimer_, &QTimer::timeout, this, [this] { applyingPreset_ = false; });

    setCurrentWidget(outputPage_);
    UpdateResizeControls();
    UpdateRenameExample();
    UpdateTextExample();
}

QComboBox* OptionPages::MakeOptionList(QWidget* parent, const char* key, const QStringList& items) {
    const OptionInfo& row = OptionRow(key);
    auto* list = OptionControl<QComboBox>(parent, key);
    DropDownBelow(list);
    list->addItems(items);
    list->setCurrentIndex(OptionDefault(row));
    lastChoice_[&row] = OptionDefault(row);
    connect(list, &QComboBox::currentIndexChanged, this, [this, &row](int index) {
        if (KnownChoice(row, index)) lastChoice_[&row] = index;
    });
    return list;
}

QSlider* OptionPages::MakeOptionSlider(QWidget* parent, const char* key, int tickInterval, QLabel* valueLabel,
                                       const QString& suffix) {
    auto* slider = OptionControl<QSlider>(parent, key);
    slider->setOrientation(Qt::Horizontal);
    slider->setTickPosition(QSlider::TicksBelow);
    slider->setTickInterval(tickInterval);
    slider->setPageStep(std::max(1, (slider->maximum() - slider->minimum()) / 10));
    // The value label keeps the width of the widest value, so the slider does not jump while
    // it moves.
    valueLabel->setMinimumWidth(valueLabel->fontMetrics().horizontalAdvance("100%") + 4);
    valueLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    sliderValues_.push_back({slider, valueLabel, suffix});
    connect(slider, &QSlider::valueChanged, this, [this] { ShowSliderValues(); });
    ShowSliderValues();
    return slider;
}

void OptionPages::ShowSliderValues() {
    for (const SliderValue& shown : sliderValues_)
        shown.label->setText(QString::number(shown.slider->value()) + shown.suffix);
}

void OptionPages::BuildEncoderPage(const EncoderPage& p) {
    QWidget* page = MakePage(p.pageName);
    auto* grid = PageLayout<QGridLayout>(page);
    QLabel* caption = MakeLabel(p.captionName, QString::fromUtf8(p.caption), page);
    QLabel* value = MakeLabel(p.valueName, QString(), page);
    QSlider* slider = MakeOptionSlider(page, p.sliderKey, p.tickInterval, value, QString::fromUtf8(p.valueSuffix));
    grid->addWidget(caption, 0, 0);
    grid->addWidget(slider, 0, 1);
    grid->addWidget(value, 0, 2);
    int row = 1;
    for (const EncoderPage::Check& check : p.checks) {
        if (!check.key) break;
        grid->addWidget(OptionCheckBox(page, check.key, QString::fromUtf8(check.text)), row++, 0, 1, 3);
    }
    if (p.withTarget) grid->addWidget(BuildTargetGroup(page), row++, 0, 1, 3);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(row, 1);
    addTab(page, QString::fromUtf8(p.tab));
}

void OptionPages::BuildEncoderPages() {
    // The slider's value label, then the check boxes below it; the texts stand until the
    // language file's are applied.
    BuildEncoderPage({"TabSheet1", "JPG", "Label1", "Качество: ", "Label3", "JPG_quality", 2, "%",
                      {{{"JPG_progressive", "Прогресивный"}, {"JPG_optimize_coding", "Optimized Huffman tables"}}},
                      true});
    BuildEncoderPage({"TabSheet2", "PNG", "Label2", "Сжатие: ", "Label4", "PNG_compression", 1, "",
                      {{{"Png_interlace", "Interlaced (Adam7)"},
                        {"Png_filter", "Filter (Reduces size)"},
                        {"PNG_reduce", "Smallest lossless layout"},
                        {"PNG_palette", "Palette PNG (256 colours, lossy)"},
                        {"GIF_adaptive_palette", "Adaptive palette for GIF"}}}});
    BuildEncoderPage({"TabSheet8", "JPEG 2000", "Label20", "Качество:", "Label21", "J2K_quality", 2, "%",
                      {{{"J2K_Lossless", "Lossless"}}}});
    BuildModernFormatsPage();
}

QGroupBox* OptionPages::BuildTargetGroup(QWidget* page) {
    auto* box = Named(new QGroupBox("Target (JPEG, WebP, AVIF, JPEG XL)", page), "GroupBox18");
    auto* grid = new QGridLayout(box);
    QLabel* modeCaption = MakeLabel("Label39", "Quality:", box);
    QComboBox* mode = MakeOptionList(box, "Target_mode", {"As set", "File size at most", "Visual quality at least"});
    QSpinBox* size = OptionSpinBox(box, "Target_size");
    size->setSuffix(" KiB");
    QSpinBox* score = OptionSpinBox(box, "Target_quality");
    QLabel* scoreHint = MakeLabel("Label40", "90 visually lossless, 80 high, 70 web", box);
    modeCaption->setBuddy(mode);
    // The size and the score share a place: only the chosen target's box shows. The hint wraps
    // rather than widen the pages.
    scoreHint->setWordWrap(true);
    grid->addWidget(modeCaption, 0, 0);
    grid->addWidget(mode, 0, 1);
    grid->addWidget(size, 0, 2);
    grid->addWidget(score, 0, 2);
    grid->addWidget(scoreHint, 1, 1, 1, 3);
    grid->setColumnStretch(3, 1);
    // Only the box of the chosen target is shown: a size and a score side by side would read as
    // two conditions.
    const auto follow = [mode, size, score, scoreHint] {
        size->setVisible(mode->currentIndex() == 1);
        score->setVisible(mode->currentIndex() == 2);
        scoreHint->setVisible(mode->currentIndex() == 2);
    };
    connect(mode, &QComboBox::currentIndexChanged, box, follow);
    follow();
    return box;
}

// WebP, AVIF and JPEG XL share one page, a group each, one above the other and kept low so that
// all three fit at the window's minimum size: the quality slider between its caption and value,
// the effort or speed box and the first check box on one line, a further check box below.
void OptionPages::BuildModernFormatsPage() {
    QWidget* page = MakePage("TabSheet13");
    auto* column = PageLayout<QVBoxLayout>(page);
    struct Group {
        const char* name;
        const char* title;
        const char* qualityCaption;
        const char* qualityValue;
        const char* qualityKey;
        const char* spinCaption;
        const char* spinText;
        const char* spinKey;
        std::array<EncoderPage::Check, 2> checks;
    };
    const Group groups[] = {
        {"GroupBox4", "WebP", "Label29", "Label30", "WEBP_quality", "Label31", "Effort:", "WEBP_effort",
         {{{"WEBP_lossless", "Lossless"}}}},
        {"GroupBox5", "AVIF", "Label32", "Label33", "AVIF_quality", "Label34", "Speed:", "AVIF_speed", {}},
        {"GroupBox6", "JPEG XL", "Label35", "Label36", "JXL_quality", "Label37", "Effort:", "JXL_effort",
         {{{"JXL_lossless", "Lossless"}, {"JXL_recompress_jpeg", "Recompress JPEG losslessly"}}}},
    };
    for (const Group& g : groups) {
        auto* box = Named(new QGroupBox(QString::fromUtf8(g.title), page), g.name);
        auto* grid = new QGridLayout(box);
        QLabel* caption = MakeLabel(g.qualityCaption, QString::fromUtf8("Качество:"), box);
        QLabel* value = MakeLabel(g.qualityValue, QString(), box);
        QSlider* slider = MakeOptionSlider(box, g.qualityKey, 10, value, QString());
        caption->setBuddy(slider);
        QLabel* spinCaption = MakeLabel(g.spinCaption, QString::fromUtf8(g.spinText), box);
        QSpinBox* spin = OptionSpinBox(box, g.spinKey);
        spinCaption->setBuddy(spin);
        slider->setTickPosition(QSlider::NoTicks);
        grid->setContentsMargins(6, 2, 6, 4);
        grid->setVerticalSpacing(2);
        grid->addWidget(caption, 0, 0);
        grid->addWidget(slider, 0, 1);
        grid->addWidget(value, 0, 2);
        grid->addWidget(spinCaption, 0, 3);
        grid->addWidget(spin, 0, 4);
        if (g.checks[0].key) grid->addWidget(OptionCheckBox(box, g.checks[0].key, QString::fromUtf8(g.checks[0].text)), 0, 5);
        if (g.checks[1].key) grid->addWidget(OptionCheckBox(box, g.checks[1].key, QString::fromUtf8(g.checks[1].text)), 1, 0, 1, 6);
        grid->setColumnStretch(1, 1);
        column->addWidget(box);
    }
    column->addStretch(1);
    addTab(page, QStringLiteral("WebP, AVIF, JXL"));
}

void OptionPages::BuildRenamePage() {
    QWidget* page = MakePage("TabSheet4");
    auto* grid = PageLayout<QGridLayout>(page);
    renameEnabled_ = OptionCheckBox(page, "Rename_enabled", QString::fromUtf8("Переименовать"));
    QLabel* maskCaption = MakeLabel("Label10", QString::fromUtf8("Маска:"), page);
    renameMask_ = OptionControl<QLineEdit>(page, "Rename_mask");
    renameVariableButton_ = Named(new QPushButton("Add variable", page), "PngBitBtn6");
    QLabel* digitsCaption = MakeLabel("Label11", QString::fromUtf8("Цифр счетчика:"), page);
    counterDigits_ = OptionSpinBox(page, "Counter_length");
    QLabel* exampleCaption = MakeLabel("Label16", QString::fromUtf8("Пример: "), page);
    renameExample_ = MakeLabel("Label17", QString(), page);
    maskCaption->setBuddy(renameMask_);
    digitsCaption->setBuddy(counterDigits_);

    // Shown while renaming by a mask that names no extension.
    renameWarning_ = new QWidget(page);
    auto* warning = new QHBoxLayout(renameWarning_);
    warning->setContentsMargins(0, 0, 0, 0);
    warning->setSpacing(4);
    auto* warningIcon = new QLabel(renameWarning_);
    const int iconSide = warningIcon->fontMetrics().height();
    warningIcon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(iconSide, iconSide));
    warning->addWidget(warningIcon);
    warning->addWidget(MakeLabel("Label28", "No [E] in the mask: the files get no extension", renameWarning_), 1);
    QSizePolicy keepRoom = renameWarning_->sizePolicy();
    keepRoom.setRetainSizeWhenHidden(true);  // the page does not jump when it comes and goes
    renameWarning_->setSizePolicy(keepRoom);

    grid->addWidget(renameEnabled_, 0, 0, 1, 3);
    grid->addWidget(maskCaption, 1, 0);
    grid->addWidget(renameMask_, 1, 1);
    grid->addWidget(renameVariableButton_, 1, 2);
    grid->addWidget(digitsCaption, 2, 0);
    grid->addWidget(counterDigits_, 2, 1, Qt::AlignLeft);
    grid->addWidget(exampleCaption, 3, 0);
    grid->addWidget(renameExample_, 3, 1, 1, 2);
    grid->addWidget(renameWarning_, 4, 1, 1, 2);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(5, 1);

    connect(renameEnabled_, &QCheckBox::toggled, this, [this] { UpdateRenameExample(); });
    connect(renameMask_, &QLineEdit::textChanged, this, [this] { UpdateRenameExample(); });
    connect(counterDigits_, &QSpinBox::valueChanged, this, [this] { UpdateRenameExample(); });
    addTab(page, "Rename");
}

void OptionPages::BuildResizePage() {
    QWidget* page = MakePage("TabSheet6");
    auto* row = PageLayout<QVBoxLayout>(page);

    // The option's three radio buttons, in the order of its values.
    auto* group = OptionControl<QGroupBox>(page, "Selected_mode");
    group->setTitle(QString::fromUtf8("Изменение размера"));
    auto* box = new QGridLayout(group);
    box->setContentsMargins(6, 4, 6, 4);
    box->setVerticalSpacing(4);
    noResize_ = Named(new QRadioButton(QString::fromUtf8("Не изменять"), group), "NoResizeRadioButton");
    noResize_->setChecked(true);
    resizeToBox_ = Named(new QRadioButton(QString::fromUtf8("Изменить размер:"), group), "ChangeSizeRadioButton");
    resizeByPercent_ =
        Named(new QRadioButton(QString::fromUtf8("В процентах:"), group), "ChangeSizePercentRadioButton");
    resizeWidth_ = OptionSpinBox(group, "Resize_width");
    resizeHeight_ = OptionSpinBox(group, "Resize_height");
    auto* times = new QLabel(QString::fromUtf8("×"), group);
    aspectRatio_ = MakeLabel("Label19", QString(), group);
    aspectRatio_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    resizePercent_ = OptionSpinBox(group, "Resize_percent");
    QLabel* percentSign = MakeLabel("Label8", "%", group);

    box->addWidget(noResize_, 0, 0, 1, 5);
    box->addWidget(resizeToBox_, 1, 0, 1, 5);
    auto* size = new QHBoxLayout;
    size->setSpacing(4);
    size->addSpacing(20);
    size->addWidget(resizeWidth_);
    size->addWidget(times);
    size->addWidget(resizeHeight_);
    size->addSpacing(4);
    size->addWidget(aspectRatio_, 1);
    box->addLayout(size, 2, 0, 1, 5);
    box->addWidget(resizeByPercent_, 3, 0);
    auto* percent = new QHBoxLayout;
    percent->setSpacing(4);
    percent->addWidget(resizePercent_);
    percent->addWidget(percentSign);
    percent->addStretch(1);
    box->addLayout(percent, 3, 1, 1, 4);
    box->setRowStretch(4, 1);

    auto* checks = new QVBoxLayout;
    checks->setSpacing(4);
    keepProportions_ = OptionCheckBox(page, "Resize_proportional", QString::fromUtf8("Пропорции"));
    enlargeSmaller_ = OptionCheckBox(page, "EnlargeIfSmall", QString::fromUtf8("Увеличить если меньше"));
    smartCrop_ = OptionCheckBox(page, "SmartCrop_enable", "Smart crop");
    fastJpegDownscale_ = OptionCheckBox(page, "Fast_jpeg_downscale", QString::fromUtf8("Быстрое уменьшение JPEG"));
    checks->addWidget(keepProportions_);
    checks->addWidget(enlargeSmaller_);
    checks->addWidget(smartCrop_);
    checks->addWidget(fastJpegDownscale_);

    QLabel* filterCaption = MakeLabel("Label14", QString::fromUtf8("Фильтр:"), page);
    resamplingFilter_ = MakeOptionList(page, "Resampling_filter",
                                       {"Nearest neighbour", "Bilinear", "Hermite", "Bell", "B-spline", "Lanczos3",
                                        "Mitchell"});
    QLabel* presetsCaption = MakeLabel("Label15", QString::fromUtf8("Стандартные размеры:"), page);
    sizePresets_ = Named(new QComboBox(page), "ComboBox4");
    DropDownBelow(sizePresets_);
    for (const std::string& design : SizePresetDesignTexts()) {
        const QString text = QString::fromStdString(design);
        const auto [width, height] = ParseSizeText(text);
        sizePresets_->addItem(SizePresetCaption(text, width, height));
    }
    sizePresets_->setCurrentIndex(0);
    // The preset list has a row of its own, as wide as its longest caption, so the chosen
    // size is read whole; the filter list sits under the check boxes.
    sizePresets_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    filterCaption->setBuddy(resamplingFilter_);
    presetsCaption->setBuddy(sizePresets_);
    aspectRatio_->setText(AspectRatioText(static_cast<std::uint64_t>(resizeWidth_->value()),
                                          static_cast<std::uint64_t>(resizeHeight_->value())));

    auto* filter = new QHBoxLayout;
    filter->addWidget(filterCaption);
    filter->addWidget(resamplingFilter_, 1);
    checks->addStretch(1);
    checks->addLayout(filter);

    auto* presets = new QHBoxLayout;
    presets->addWidget(presetsCaption);
    presets->addWidget(sizePresets_, 1);

    auto* top = new QHBoxLayout;
    top->addWidget(group, 0);
    top->addSpacing(6);
    top->addLayout(checks, 1);
    row->addLayout(top);
    row->addLayout(presets);
    row->addStretch(1);

    for (QRadioButton* radio : {noResize_, resizeToBox_, resizeByPercent_}) {
        connect(radio, &QRadioButton::toggled, this, [this](bool on) {
            if (on) UpdateResizeControls();
        });
    }
    connect(keepProportions_, &QCheckBox::toggled, this, [this] { UpdateResizeControls(); });
    connect(enlargeSmaller_, &QCheckBox::toggled, this, [this] { UpdateResizeControls(); });
    connect(resizeWidth_, &QSpinBox::valueChanged, this, [this] { SizeBoxChanged(); });
    connect(resizeHeight_, &QSpinBox::valueChanged, this, [this] { SizeBoxChanged(); });
    connect(sizePresets_, &QComboBox::currentIndexChanged, this, [this](int index) { PresetChosen(index); });
    addTab(page, "Resize");
}

void OptionPages::BuildTextPage() {
    QWidget* page = MakePage("TabSheet12");
    auto* grid = PageLayout<QGridLayout>(page);
    QCheckBox* enabled = OptionCheckBox(page, "Watermark_enable", "Draw text");
    QLabel* maskCaption = MakeLabel("Label23", "Mask:", page);
    textStampMask_ = OptionControl<QLineEdit>(page, "Watermark_text_mask");
    textVariableButton_ = Named(new QPushButton("Add variable", page), "PngBitBtn5");
    fontButton_ = Named(new QPushButton("Font", page), "PngBitBtn4");
    colourButton_ = Named(new QPushButton("Colour", page), "PngBitBtn7");
    QLabel* exampleCaption = MakeLabel("Label24", "Sample: ", page);
    textStampExample_ = MakeLabel("Label25", QString(), page);
    QLabel* positionCaption = MakeLabel("Label22", "Text position:", page);
    textPosition_ = MakeOptionList(
        page, "Text_position",
        {"Top-Left", "Top-Center", "Top-Right", "Center", "Bottom-Left", "Bottom-Center", "Bottom-Right"});
    QCheckBox* shadow = OptionCheckBox(page, "Text_Shadow", "Shadow");
    // The stamp's opacity: kept in the settings, never shown, always 100.
    OptionSpinBox(page, "Text_opacity")->hide();
    fontSummary_ = new QLabel(page);
    maskCaption->setBuddy(textStampMask_);
    positionCaption->setBuddy(textPosition_);

    grid->addWidget(enabled, 0, 0, 1, 2);
    grid->addWidget(shadow, 0, 2);
    grid->addWidget(maskCaption, 1, 0);
    grid->addWidget(textStampMask_, 1, 1);
    grid->addWidget(textVariableButton_, 1, 2);
    grid->addWidget(exampleCaption, 2, 0);
    grid->addWidget(textStampExample_, 2, 1, 1, 2);
    grid->addWidget(positionCaption, 3, 0);
    grid->addWidget(textPosition_, 3, 1, Qt::AlignLeft);
    // The font's own row: its summary has the page's width and is read whole.
    auto* font = new QHBoxLayout;
    font->addWidget(fontButton_);
    font->addWidget(colourButton_);
    font->addSpacing(6);
    font->addWidget(fontSummary_, 1);
    grid->addLayout(font, 4, 0, 1, 3);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(5, 1);

    connect(textStampMask_, &QLineEdit::textChanged, this, [this] { UpdateTextExample(); });
    connect(fontButton_, &QPushButton::clicked, this, [this] { ChooseFont(); });
    connect(colourButton_, &QPushButton::clicked, this, [this] { ChooseColour(); });
    ShowFontSummary();
    addTab(page, "Text");
}

void OptionPages::BuildOutputPage() {
    outputPage_ = MakePage("TabSheet7");
    QWidget* page = outputPage_;
    auto* grid = PageLayout<QGridLayout>(page);
    QLabel* folderCaption = MakeLabel("Label5", QString::fromUtf8("Папка для вывода:"), page);
    outputFolder_ = OptionControl<QLineEdit>(page, "Output_path");
    auto* browse = Named(new QPushButton(QString::fromUtf8("Обзор"), page), "PngBitBtn3");
    QLabel* formatCaption = MakeLabel("Label6", QString::fromUtf8("Формат вывода:"), page);
    QStringList formats;
    for (const OutputFormat& writer : OutputFormats())
        formats << QString::fromUtf8(writer.caption.data(), static_cast<qsizetype>(writer.caption.size()));
    QComboBox* format = MakeOptionList(page, "Output_format", formats);
    QLabel* threadsCaption = MakeLabel("Label7", QString::fromUtf8("Потоков:"), page);
    threads_ = OptionSpinBox(page, "Threads");
    threads_->setToolTip(QString::fromUtf8("Рекомендуется число потоков, равное числу процессоров"));
    QCheckBox* overwrite = OptionCheckBox(page, "Overwrite", QString::fromUtf8("Перезапись"));
    overwrite->setToolTip(QString::fromUtf8("Перезапись существующих файлов"));
    QCheckBox* automatic = OptionCheckBox(page, "Auto_format", QString::fromUtf8("Авто формат"));
    automatic->setToolTip(QString::fromUtf8("Выбор оптимального формата по размеру файла"));
    QCheckBox* exif = OptionCheckBox(page, "Exif", "Use Exif");
    QCheckBox* autoRotate = OptionCheckBox(page, "Auto_rotate", QString::fromUtf8("Поворот по EXIF"));
    autoRotate->setToolTip(QString::fromUtf8("Поворачивать снимки так, как их показывает камера"));
    QLabel* profileCaption = MakeLabel("Label26", "Colour profile:", page);
    colourProfile_ = MakeOptionList(page, "Colour_profile", {"Keep", "Convert to sRGB", "Remove"});
    QLabel* metadataCaption = MakeLabel("Label38", "Metadata:", page);
    metadata_ = MakeOptionList(page, "Metadata", {"All", "No location", "Minimal", "None"});
    QLabel* backgroundCaption = MakeLabel("Label27", "Background:", page);
    backgroundButton_ = Named(new QPushButton(page), OptionRow("Background_colour").control);
    folderCaption->setBuddy(outputFolder_);
    profileCaption->setBuddy(colourProfile_);
    metadataCaption->setBuddy(metadata_);
    backgroundCaption->setBuddy(backgroundButton_);
    formatCaption->setBuddy(format);
    threadsCaption->setBuddy(threads_);

    grid->addWidget(folderCaption, 0, 0);
    grid->addWidget(outputFolder_, 0, 1, 1, 2);
    grid->addWidget(browse, 0, 3);
    grid->addWidget(formatCaption, 1, 0);
    grid->addWidget(format, 1, 1);
    grid->addWidget(automatic, 1, 2, 1, 2);
    grid->addWidget(threadsCaption, 2, 0);
    grid->addWidget(threads_, 2, 1);
    grid->addWidget(overwrite, 2, 2, 1, 2);
    grid->addWidget(profileCaption, 3, 0);
    grid->addWidget(colourProfile_, 3, 1);
    grid->addWidget(exif, 3, 2, 1, 2);
    grid->addWidget(backgroundCaption, 4, 0);
    grid->addWidget(backgroundButton_, 4, 1, Qt::AlignLeft);
    grid->addWidget(autoRotate, 4, 2, 1, 2);
    grid->addWidget(metadataCaption, 5, 0);
    grid->addWidget(metadata_, 5, 1);
    recipes_ = new RecipeChooser(page);
    grid->addWidget(recipes_, 6, 0, 1, 4);
    grid->setColumnStretch(2, 1);
    grid->setRowStretch(7, 1);
    SetBackgroundColour(backgroundColour_);

    // The automatic choice leaves no format to pick.
    connect(automatic, &QCheckBox::toggled, this, [format, formatCaption](bool on) {
        format->setEnabled(!on);
        formatCaption->setEnabled(!on);
    });
    connect(browse, &QPushButton::clicked, this, [this] { BrowseOutputFolder(); });
    connect(backgroundButton_, &QPushButton::clicked, this, [this] { ChooseBackgroundColour(); });
    addTab(page, "Output settings");
}

QAction* OptionPages::AddVariable(QMenu* menu, const char* name, const char* caption, const char* token,
                                  QLineEdit* target) {
    auto* action = Named(new QAction(QString::fromUtf8(caption), menu), name);
    const QString text = QString::fromUtf8(token);
    // Replaces the selection, or inserts at the caret.
    connect(action, &QAction::triggered, target, [target, text] {
        target->insert(text);
        target->setFocus();
    });
    menu->addAction(action);
    return action;
}

void OptionPages::BuildVariableMenus() {
    renameVariableMenu_ = new QMenu(this);
    AddVariable(renameVariableMenu_, "NTheoriginalfilename1", "[N] - Original filename ", "[N]", renameMask_);
    AddVariable(renameVariableMenu_, "EFileextension1", "[E] - File extension ", "[E]", renameMask_);
    AddVariable(renameVariableMenu_, "WThewidthoftheimageinpixels1", "[W] - Image width in pixels ", "[W]", renameMask_);
    AddVariable(renameVariableMenu_, "HImageheightinpixels1", "[H] - Image height in pixels ", "[H]", renameMask_);
    AddVariable(renameVariableMenu_, "Currenttime2", "[T] - Current time ", "[T]", renameMask_);
    AddVariable(renameVariableMenu_, "DCurrentDate1", "[D] - Current Date", "[D]", renameMask_);
    AddVariable(renameVariableMenu_, "CFilecounter1", "[C] - File counter", "[C]", renameMask_);
    AddVariable(renameVariableMenu_, "FCDFilecreationdate1", "[FCD] - File creation date", "[FCD]", renameMask_);
    AddVariable(renameVariableMenu_, "FCTFilecreationtime1", "[FCT] - File creation time", "[FCT]", renameMask_);

    textVariableMenu_ = new QMenu(this);
    AddVariable(textVariableMenu_, "Currentdate1", "[D] - Current date", "[D]", textStampMask_);
    AddVariable(textVariableMenu_, "Currenttime1", "[T] - Current time", "[T]", textStampMask_);
    textVariableMenu_->addSeparator();
    AddVariable(textVariableMenu_, "Filecreationdate1", "[FCD] - File creation date", "[FCD]", textStampMask_);
    AddVariable(textVariableMenu_, "Filecreationtime1", "[FCT] - File creation time", "[FCT]", textStampMask_);
    textVariableMenu_->addSeparator();
    AddVariable(textVariableMenu_, "Filename1", "[N] - Original filename", "[N]", textStampMask_);
    AddVariable(textVariableMenu_, "Extension1", "[E] - Extension", "[E]", textStampMask_);
    AddVariable(textVariableMenu_, "Width1", "[W] - Width", "[W]", textStampMask_);
    AddVariable(textVariableMenu_, "Height1", "[H] - Height", "[H]", textStampMask_);
    AddVariable(textVariableMenu_, "Counter1", "[C] - Counter", "[C]", textStampMask_);
    textVariableMenu_->addSeparator();
    AddVariable(textVariableMenu_, "Exifdate1", "[ED] - Exif date", "[ED]", textStampMask_);
    AddVariable(textVariableMenu_, "Exiftime1", "[ET] - Exif time", "[ET]", textStampMask_);
    textVariableMenu_->addSeparator();
    auto* symbols = Named(new QMenu("Add symbol", textVariableMenu_), "Addsymbol1");
    textVariableMenu_->addMenu(symbols);
    AddVariable(symbols, "N25", "© - Copyright", "©", textStampMask_);
    AddVariable(symbols, "Registered1", "® - Registered", "®", textStampMask_);
    AddVariable(symbols, "rademark1", "™ - Trade mark", "™", textStampMask_);

    // Each button opens its menu where the pointer is, on a click and as its context menu.
    const auto attach = [this](QPushButton* button, QMenu* menu) {
        connect(button, &QPushButton::clicked, menu, [menu] { menu->popup(QCursor::pos()); });
        button->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(button, &QWidget::customContextMenuRequested, menu,
                [button, menu](const QPoint& at) { menu->popup(button->mapToGlobal(at)); });
    };
    attach(renameVariableButton_, renameVariableMenu_);
    attach(textVariableButton_, textVariableMenu_);
}

int OptionPages::AllTabsWidth() const {
    return tabBar()->sizeHint().width() + 2 * style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, this) + 4;
}

QSize OptionPages::sizeHint() const {
    QSize hint = QTabWidget::sizeHint();
    hint.setWidth(std::max(hint.width(), AllTabsWidth()));
    return hint;
}

QSize OptionPages::minimumSizeHint() const {
    QSize hint = QTabWidget::minimumSizeHint();
    hint.setWidth(std::max(hint.width(), AllTabsWidth()));
    return hint;
}

void OptionPages::UpdateResizeControls() {
    const bool fixed = resizeToBox_->isChecked();
    const bool percent = resizeByPercent_->isChecked();
    resizeWidth_->setEnabled(fixed);
    resizeHeight_->setEnabled(fixed);
    keepProportions_->setEnabled(fixed);
    enlargeSmaller_->setEnabled(fixed);
    smartCrop_->setEnabled(fixed && keepProportions_->isChecked());
    resizePercent_->setEnabled(percent);
    fastJpegDownscale_->setEnabled(fixed || percent);
}

void OptionPages::SizeBoxChanged() {
    if (!applyingPreset_) sizePresets_->setCurrentIndex(0);
    aspectRatio_->setText(AspectRatioText(static_cast<std::uint64_t>(resizeWidth_->value()),
                                     static_cast<std::uint64_t>(resizeHeight_->value())));
}

void OptionPages::PresetChosen(int index) {
    if (index <= 0) return;
    resizeToBox_->setChecked(true);
    applyingPreset_ = true;
    const auto [width, height] = ParseSizeText(sizePresets_->itemText(index));
    resizeWidth_->setValue(width);  // a text that does not parse gives -1: the box's minimum
    resizeHeight_->setValue(height);
    presetTimer_->start();
}

MaskSubject OptionPages::ExampleSubject() const {
    MaskSubject subject;
    subject.sourcePath = "Filename.jpg";
    subject.destinationPath = "Filename.jpg";
    subject.jobNumber = 15;
    subject.width = resizeWidth_->value();
    subject.height = resizeHeight_->value();
    subject.now = clock_();
    subject.sourceWritten = subject.now;  // the file dates show as the current ones
    return subject;
}

void OptionPages::UpdateRenameExample() {
    renameExampleText_ = QString::fromStdString(ExpandMask(renameMask_->text().toStdString(), ExampleSubject(),
                                                       MaskKind::Rename, dates_, counterDigits_->value()));
    ShowElided(renameExample_, renameExampleText_);
    renameWarning_->setVisible(RenameMaskLacksExtension());
}

bool OptionPages::RenameMaskLacksExtension() const {
    return renameEnabled_->isChecked() && !renameMask_->text().contains(QLatin1String("[E]"), Qt::CaseInsensitive);
}

void OptionPages::UpdateTextExample() {
    textExampleText_ = QString::fromStdString(
        ExpandMask(textStampMask_->text().toStdString(), ExampleSubject(), MaskKind::TextStamp, dates_, 1));
    ShowElided(textStampExample_, textExampleText_);
}

void OptionPages::ShowElided(QLabel* label, const QString& text) {
    if (label->property("fullText").isNull()) {
        // The label follows its column's width instead of widening the page to fit the text.
        label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        label->setMinimumWidth(0);
        label->setTextFormat(Qt::PlainText);  // a mask is never markup
        label->installEventFilter(this);
    }
    label->setProperty("fullText", text);
    const int width = label->width() > 0 ? label->width() : 10000;
    label->setText(label->fontMetrics().elidedText(text, Qt::ElideRight, width));
    label->setToolTip(text);
}

bool OptionPages::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Resize && (watched == renameExample_ || watched == textStampExample_ || watched == fontSummary_)) {
        auto* label = static_cast<QLabel*>(watched);
        const QString text = label->property("fullText").toString();
        label->setText(label->fontMetrics().elidedText(text, Qt::ElideRight, label->width()));
    }
    return QTabWidget::eventFilter(watched, event);
}

void OptionPages::BrowseOutputFolder() {
    // The dialog opens at the output folder, or at its nearest existing parent when Convert
    // has not created it yet.
    QString start = outputFolder_->text();
    while (!start.isEmpty() && !QFileInfo(start).isDir()) {
        const QString parent = QFileInfo(QDir::cleanPath(start)).path();
        start = parent == QDir::cleanPath(start) ? QString() : parent;
    }
    QString folder = folderChooser_(window(), selectDirTitle_, start);
    if (folder.isEmpty()) return;
    // The path as chosen, without a trailing separator except for the root; Convert adds it.
    while (folder.size() > 1 && folder.endsWith('/')) folder.chop(1);
    outputFolder_->setText(folder);
}

void OptionPages::ChooseFont() {
    if (std::optional<TextFont> chosen = fontChooser_(window(), font_)) SetTextStampFont(*chosen);
}

void OptionPages::ChooseColour() {
    const QColor chosen = colourChooser_(window(), ColourOf(font_));
    if (!chosen.isValid()) return;
    TextFont font = font_;
    font.colour = ColourValue(chosen);
    SetTextStampFont(font);
}

void OptionPages::ChooseBackgroundColour() {
    const QColor chosen = colourChooser_(window(), QColor::fromRgb(static_cast<QRgb>(backgroundColour_)));
    if (chosen.isValid()) SetBackgroundColour(static_cast<int>(chosen.rgb() & 0xFFFFFFu));
}

// The button shows the colour as a swatch and its "#RRGGBB" text.
void OptionPages::SetBackgroundColour(int rgb) {
    backgroundColour_ = rgb;
    const int side = backgroundButton_->fontMetrics().height() - 2;
    QPixmap swatch(side, side);
    swatch.fill(QColor::fromRgb(static_cast<QRgb>(rgb)));
    {
        QPainter painter(&swatch);
        painter.setPen(palette().color(QPalette::Mid));
        painter.drawRect(0, 0, side - 1, side - 1);
    }
    backgroundButton_->setIcon(QIcon(swatch));
    backgroundButton_->setText(QString::fromStdString(ColourText(rgb)));
}

void OptionPages::SetTextStampFont(const TextFont& font) {
    font_ = font;
    ShowFontSummary();
}

void OptionPages::ShowFontSummary() {
    // A colour swatch and the face and size, so the stamp's font is visible without the dialog.
    const int side = fontSummary_->fontMetrics().height() - 4;
    QPixmap swatch(side, side);
    swatch.fill(ColourOf(font_));
    {
        QPainter painter(&swatch);
        painter.setPen(palette().color(QPalette::Mid));
        painter.drawRect(0, 0, side - 1, side - 1);
    }
    ShowElided(fontSummary_, QString::fromStdString(font_.face) + ", " + QString::number(font_.sizePoints) + " pt");
    colourButton_->setIcon(QIcon(swatch));
}

void OptionPages::SetOutputPathText(const std::string& path) { outputFolder_->setText(QString::fromStdString(path)); }

void OptionPages::SetRenameMaskText(const std::string& mask) { renameMask_->setText(QString::fromStdString(mask)); }

void OptionPages::SetThreads(int threads) { threads_->setValue(threads); }

void OptionPages::ApplyLanguageLists(const LanguageFile& file) {
    // The naming rule's tab pages belong to a plain tab widget; these pages take their
    // captions here, by the same keys.
    for (int i = 0; i < count(); ++i) {
        const std::string key = "ZelvanMainform" + widget(i)->objectName().toStdString();
        setTabText(i, WindowTextOf(file, file.CurrentLanguage(), key, tabText(i)));
    }
    ReplaceItems(resamplingFilter_, ListItems(file.LookupText("FilterList")));
    ReplaceItems(textPosition_, ListItems(file.LookupText("PositionList")));
    ReplaceItems(colourProfile_, ListItems(file.LookupText("ColourProfileList")));
    ReplaceItems(metadata_, ListItems(file.LookupText("MetadataList")));
    ReplaceItems(findChild<QComboBox*>("ComboBox18"), ListItems(file.LookupText("TargetModeList")));
    selectDirTitle_ = Tr(file, "SelectDir");
    // The captions' widths are the pages' least width.
    updateGeometry();
}

QWidget* OptionPages::ControlOf(const OptionInfo& row) const {
    return findChild<QWidget*>(QLatin1String(row.control));
}

void OptionPages::ShowValue(const OptionInfo& row, QWidget* control, int value) {
    if (auto* slider = qobject_cast<QSlider*>(control)) {
        const auto [minimum, maximum] = OptionRange(row);
        slider->setRange(minimum, maximum);
        slider->setValue(value);
    } else if (auto* spin = qobject_cast<QSpinBox*>(control)) {
        // The range again: the processor count may differ from the one the box was made with.
        const auto [minimum, maximum] = OptionRange(row);
        spin->setRange(minimum, maximum);
        spin->setValue(value);
    } else if (auto* check = qobject_cast<QCheckBox*>(control)) {
        check->setChecked(value != 0);
    } else if (auto* list = qobject_cast<QComboBox*>(control)) {
        list->setCurrentIndex(value < list->count() ? value : -1);
        if (KnownChoice(row, value)) lastChoice_[&row] = value;
    } else if (auto* group = qobject_cast<QGroupBox*>(control)) {
        // Any other value leaves the radio buttons as they are.
        const QList<QRadioButton*> choices = group->findChildren<QRadioButton*>(Qt::FindDirectChildrenOnly);
        if (value >= 0 && value < choices.size()) choices[value]->setChecked(true);
    }
}

int OptionPages::ShownValue(const OptionInfo& row, const QWidget* control) const {
    if (auto* slider = qobject_cast<const QSlider*>(control)) return slider->value();
    if (auto* spin = qobject_cast<const QSpinBox*>(control)) return spin->value();
    if (auto* check = qobject_cast<const QCheckBox*>(control)) return check->isChecked() ? 1 : 0;
    if (auto* list = qobject_cast<const QComboBox*>(control))
        return list->currentIndex() >= 0 ? list->currentIndex() : lastChoice_.at(&row);
    if (auto* group = qobject_cast<const QGroupBox*>(control)) {
        const QList<QRadioButton*> choices = group->findChildren<QRadioButton*>(Qt::FindDirectChildrenOnly);
        for (int i = 0; i < choices.size(); ++i)
            if (choices[i]->isChecked()) return i;
    }
    return OptionDefault(row);
}

void OptionPages::ApplyOptions(const ConversionOptions& o) {
    for (const OptionInfo& row : OptionTable()) {
        if (row.kind == OptionInfo::Kind::Font) SetTextStampFont(o.*row.font);
        if (!row.IsOption() || row.control == nullptr) continue;
        QWidget* control = ControlOf(row);
        switch (row.kind) {
            case OptionInfo::Kind::Integer:
                // The stamp's opacity is not the user's to choose: its hidden box always holds 100.
                ShowValue(row, control, row.integer == &ConversionOptions::textOpacity ? 100 : o.*row.integer);
                break;
            case OptionInfo::Kind::Boolean: ShowValue(row, control, o.*row.boolean ? 1 : 0); break;
            case OptionInfo::Kind::Text:
                qobject_cast<QLineEdit*>(control)->setText(QString::fromStdString(o.*row.text));
                break;
            case OptionInfo::Kind::Colour: SetBackgroundColour(o.*row.integer); break;
            case OptionInfo::Kind::Font:
            case OptionInfo::Kind::Window: break;
        }
    }
    // A value equal to the slider's own changes nothing, so its label is written here too.
    ShowSliderValues();
    // The masks were set before the resize box: the examples show the box as it is now.
    UpdateRenameExample();
    UpdateTextExample();
}

ConversionOptions OptionPages::Options() const {
    ConversionOptions o;
    for (const OptionInfo& row : OptionTable()) {
        if (row.kind == OptionInfo::Kind::Font) o.*row.font = font_;
        if (!row.IsOption() || row.control == nullptr) continue;
        const QWidget* control = ControlOf(row);
        switch (row.kind) {
            case OptionInfo::Kind::Integer: o.*row.integer = ShownValue(row, control); break;
            case OptionInfo::Kind::Boolean: o.*row.boolean = ShownValue(row, control) != 0; break;
            case OptionInfo::Kind::Text: o.*row.text = qobject_cast<const QLineEdit*>(control)->text().toStdString(); break;
            case OptionInfo::Kind::Colour: o.*row.integer = backgroundColour_; break;
            case OptionInfo::Kind::Font:
            case OptionInfo::Kind::Window: break;
        }
    }
    return o;
}

}  // namespace zelvan
