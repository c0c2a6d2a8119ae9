#include "panel/window/control_panel_window.h"

#include "link/port_access.h"
#include "panel/panel_behaviour.h"
#include "panel/window/panel_icon.h"
#include "panel/window/window_layout.h"
#include "word/control_word.h"

#include <QAction>
#include <QApplication>
#include <QFontDatabase>
#include <QLabel>
#include <QLayout>
#include <QMenuBar>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QSlider>
#include <QStyleFactory>
#include <QStyleOptionSlider>
#include <QTimer>

namespace {

// The layout is fixed in pixels, so fonts are too: the point sizes the form
// was drawn with, at its 96 dots per inch.
enum class FontKind { Dialog, DialogBold, BitBox, ColumnLabel };

QFont fontOf(FontKind kind) {
    QFont font(kind == FontKind::ColumnLabel ? QStringLiteral("MS Serif")
                                             : QStringLiteral("MS Sans Serif"));
    if (kind == FontKind::ColumnLabel)
        font.setStyleHint(QFont::Serif);
    // Every attribute is set, so nothing is inherited from a bold frame.
    font.setBold(false);
    font.setItalic(false);
    font.setUnderline(false);
    switch (kind) {
    case FontKind::Dialog:
        font.setPixelSize(11); // 8.25 pt
        break;
    case FontKind::DialogBold:
        font.setPixelSize(11);
        font.setBold(true);
        break;
    case FontKind::BitBox:
        font.setPixelSize(13); // 9.75 pt
        font.setBold(true);
        break;
    case FontKind::ColumnLabel:
        font.setPixelSize(9); // 6.75 pt
        font.setBold(true);
        font.setUnderline(true);
        break;
    }
    return font;
}

QRect pixels(const Layout::Rect &r) {
    return {Layout::toPixels(r.left), Layout::toPixels(r.top), Layout::toPixels(r.width),
            Layout::toPixels(r.height)};
}

template <typename Widget>
Widget *place(Widget *widget, const Layout::Rect &rect, FontKind font, const char *name) {
    widget->setGeometry(pixels(rect));
    widget->setFont(fontOf(font));
    widget->setObjectName(QLatin1String(name));
    return widget;
}

// Tahoma runs a little wider than the font the form was drawn with: a caption
// that would be clipped gets the width it needs.
QLabel *label(QWidget *parent, const char *caption, const Layout::Rect &rect, FontKind font,
              const char *name) {
    auto *label = place(new QLabel(QLatin1String(caption), parent), rect, font, name);
    // A label is a control of its own with no handler: a click on it must not
    // reach the frame around it as a click on the frame.
    label->setAttribute(Qt::WA_NoMousePropagation);
    const int needed = label->fontMetrics().horizontalAdvance(label->text());
    if (needed > label->width())
        label->resize(needed, label->height());
    return label;
}

QLineEdit *readoutBox(QWidget *parent, const QString &text, const Layout::Rect &rect,
                      const char *name) {
    auto *box = place(new QLineEdit(text, parent), rect, FontKind::DialogBold, name);
    box->setEnabled(false);
    box->setTextMargins(0, 0, 0, 0);
    // The read-outs take no input, yet they are the panel's main output: they
    // stay disabled but keep the style's normal text colour, not its faint grey.
    QPalette palette = box->palette();
    palette.setColor(QPalette::Disabled, QPalette::Text,
                     palette.color(QPalette::Active, QPalette::Text));
    box->setPalette(palette);
    return box;
}

QGroupBox *frame(QGroupBox *box, const Layout::Rect &rect, const char *name) {
    place(box, rect, FontKind::DialogBold, name);
    box->setFocusPolicy(Qt::NoFocus);
    return box;
}

// The read-back row takes no input but is drawn as clearly as the row sent.
void drawAsEnabled(QWidget *widget) {
    QPalette palette = widget->palette();
    for (int role = 0; role < QPalette::NColorRoles; ++role) {
        const auto r = QPalette::ColorRole(role);
        palette.setColor(QPalette::Disabled, r, palette.color(QPalette::Active, r));
    }
    widget->setPalette(palette);
}

// The column of the tick a slider draws for a position: the style draws it
// under the centre of the handle standing at that position.
int tickX(const QSlider *slider, int position) {
    QStyleOptionSlider option;
    option.initFrom(slider);
    option.orientation = slider->orientation();
    option.minimum = slider->minimum();
    option.maximum = slider->maximum();
    option.tickPosition = slider->tickPosition();
    option.tickInterval = slider->tickInterval();
    option.sliderPosition = position;
    return slider->style()
        ->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, slider)
        .center()
        .x();
}

QString indexed(const char *array, int index) {
    return QStringLiteral("%1(%2)").arg(QLatin1String(array)).arg(index);
}

} // namespace

BitBox::BitBox(QWidget *parent)
    : QLineEdit(parent) {
    setMaxLength(2);
    setTextMargins(0, 0, 0, 0);
}

void BitBox::mouseReleaseEvent(QMouseEvent *event) {
    QLineEdit::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit clicked();
}

void ModeCheckBox::nextCheckState() {
    const Qt::CheckState next = checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked;
    setTristate(false);
    setCheckState(next);
}

void ClickableFrame::mouseReleaseEvent(QMouseEvent *event) {
    QGroupBox::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit clicked();
}

QuorvexControlPanel::QuorvexControlPanel(QWidget *parent)
    : QMainWindow(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                              Qt::WindowCloseButtonHint) {
    setObjectName(QStringLiteral("QuorvexControlPanel"));
    setWindowTitle(QStringLiteral("Kestrovia Quorvex"));
    setWindowIcon(panelIcon());

    auto *client = new QWidget(this);
    client->setFont(fontOf(FontKind::Dialog));
    client->setFixedSize(Layout::toPixels(Layout::ClientWidth),
                         Layout::toPixels(Layout::ClientHeight));
    setCentralWidget(client);
    layout()->setSizeConstraint(QLayout::SetFixedSize);

    buildModeFrame(client);
    buildGainFrame(client);
    buildManualFrame(client);
    buildMenus();
    setTabOrder();
    m_softMode[0]->setFocus();
    connect(this, &QuorvexControlPanel::idle, this, &QuorvexControlPanel::showNotices,
            Qt::QueuedConnection);
}

void QuorvexControlPanel::buildModeFrame(QWidget *client) {
    m_SoftMC =
        frame(new QGroupBox(QStringLiteral("Soft Mode Control"), client), Layout::SoftMC, "SoftMC");
    for (int i = 0; i < 8; ++i) {
        auto *box =
            new ModeCheckBox(QLatin1String(Layout::SoftModeCaptions[std::size_t(i)]), m_SoftMC);
        place(box,
              {Layout::SoftModeLeft, Layout::SoftModeTops[std::size_t(i)], Layout::SoftModeWidth,
               Layout::SoftModeHeight},
              FontKind::Dialog, "softMode");
        box->setObjectName(indexed("softMode", i));
        connect(box, &QCheckBox::stateChanged, this,
                [this, i] { dispatch([i](ToolkitEvents &e) { e.modeBitClicked(i); }); });
        m_softMode[std::size_t(i)] = box;
    }
    label(m_SoftMC, "[ 0= -1dB, 1= -3dB ]", Layout::Label5, FontKind::Dialog, "Label5");
}

void QuorvexControlPanel::buildGainFrame(QWidget *client) {
    m_Gaincontrol = new ClickableFrame(QStringLiteral("Soft Mode Control"), client);
    frame(m_Gaincontrol, Layout::Gaincontrol, "Gaincontrol");
    connect(m_Gaincontrol, &ClickableFrame::clicked, this,
            [this] { dispatch([](ToolkitEvents &e) { e.Gaincontrol_click(); }); });

    QWidget *f = m_Gaincontrol;
    label(f, "Gain", Layout::LabelGain, FontKind::Dialog, "LabelGain");
    m_readouts[std::size_t(Readout::dB)] = readoutBox(f, QStringLiteral(" 0"), Layout::DB, "dB");
    label(f, "dB", Layout::LabeldB, FontKind::Dialog, "LabeldB");
    label(f, "GainData", Layout::Label1, FontKind::Dialog, "Label1");
    m_readouts[std::size_t(Readout::GainText)] =
        readoutBox(f, QStringLiteral("         xxH"), Layout::GainText, "GainText");
    label(f, "dB", Layout::Label3, FontKind::DialogBold, "Label3");
    label(f, "dB", Layout::Label2, FontKind::DialogBold, "Label2");

    m_GainSlider =
        place(new QSlider(Qt::Horizontal, f), Layout::GainSlider, FontKind::Dialog, "GainSlider");
    m_GainSlider->setRange(0, 18);
    m_GainSlider->setSingleStep(1);
    m_GainSlider->setPageStep(1);
    m_GainSlider->setTickPosition(QSlider::TicksBelow);
    m_GainSlider->setTickInterval(1);
    m_GainSlider->setCursor(Qt::PointingHandCursor);
    m_GainSlider->setFocusPolicy(Qt::StrongFocus);
    connect(m_GainSlider, &QSlider::valueChanged, this,
            [this] { dispatch([](ToolkitEvents &e) { e.gainSliderChanged(); }); });

    // The drawn layout assumed wider slider ends than the style keeps free, so
    // each scale label is centred under its tick as the style draws it.
    const int scaleWidth = Layout::toPixels(Layout::ScaleSize);
    for (int i = 0; i < 19; ++i) {
        auto *scale = new QLabel(gainDbText(i, TickCount), f);
        place(scale, {0, Layout::ScaleTop, Layout::ScaleSize, Layout::ScaleSize},
              FontKind::DialogBold, "Scalelabel");
        scale->move(m_GainSlider->x() + tickX(m_GainSlider, i) - scaleWidth / 2, scale->y());
        scale->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
        scale->setObjectName(indexed("Scalelabel", i));
        m_Scalelabel[std::size_t(i)] = scale;
    }
}

void QuorvexControlPanel::buildManualFrame(QWidget *client) {
    m_ManControl = frame(new QGroupBox(QStringLiteral("Manual Control"), client),
                         Layout::ManControl, "ManControl");
    QWidget *f = m_ManControl;

    label(f, "SDI", Layout::LabelSDI, FontKind::Dialog, "LabelSDI");
    m_readouts[std::size_t(Readout::SDIText)] =
        readoutBox(f, QString(19, QLatin1Char(' ')), Layout::SDIText, "SDIText");
    label(f, "SDO", Layout::LabelSDO, FontKind::Dialog, "LabelSDO");
    m_readouts[std::size_t(Readout::SDOText)] =
        readoutBox(f, QStringLiteral(" "), Layout::SDOText, "SDOText");

    m_Update = place(new QPushButton(QStringLiteral(" Update"), f), Layout::Update,
                     FontKind::Dialog, "Update");
    m_Update->setEnabled(false);
    m_Update->setAutoDefault(false);
    connect(m_Update, &QPushButton::clicked, this,
            [this] { dispatch([](ToolkitEvents &e) { e.updateClicked(); }); });

    m_Clear = place(new QPushButton(QStringLiteral("Clear"), f), Layout::Clear, FontKind::Dialog,
                    "Clear");
    m_Clear->setAutoDefault(false);
    connect(m_Clear, &QPushButton::clicked, this,
            [this] { dispatch([](ToolkitEvents &e) { e.clearClicked(); }); });

    m_SDI = frame(new QGroupBox(f), Layout::SDI, "SDI");
    m_SDO = frame(new QGroupBox(f), Layout::SDO, "SDO");
    buildBitRow(m_SDI, 0, 16, false);
    buildBitRow(m_SDO, 16, 32, true);
    m_SDO->setEnabled(false);
    drawAsEnabled(m_SDO);
    m_Text1[6]->setEnabled(false);
    m_Text1[7]->setEnabled(false);
}

void QuorvexControlPanel::buildBitRow(QGroupBox *row, int firstBox, int firstLabel,
                                      bool sdoCaptions) {
    // The red line lies beneath the row's other controls, so it goes first.
    auto *line = new QWidget(row);
    line->setObjectName(QLatin1String(sdoCaptions ? "Line3" : "Line2"));
    line->setGeometry(Layout::toPixels(Layout::RowLineX), 0, 1,
                      Layout::toPixels(Layout::RowLineBottom) + 1);
    line->setAutoFillBackground(true);
    QPalette red = line->palette();
    red.setColor(QPalette::Window, QColor(255, 0, 0));
    line->setPalette(red);

    const QFont labelFont = fontOf(FontKind::ColumnLabel);
    const QFontMetrics metrics(labelFont);
    for (int k = 0; k < 16; ++k) {
        const Layout::BitColumn &column = Layout::BitColumns[std::size_t(k)];

        auto *box = new BitBox(row);
        place(box, {column.boxLeft, Layout::BoxTop, Layout::BoxWidth, Layout::BoxHeight},
              FontKind::BitBox, "Text1");
        box->setObjectName(indexed("Text1", firstBox + k));
        box->setText(QStringLiteral(" 0"));
        QPalette highlight = box->palette();
        highlight.setColor(QPalette::Base, highlight.color(QPalette::Light));
        box->setPalette(highlight);
        const int index = firstBox + k;
        connect(box, &BitBox::clicked, this,
                [this, index] { dispatch([index](ToolkitEvents &e) { e.bitBoxClicked(index); }); });
        m_Text1[std::size_t(index)] = box;

        // Sized to fit its caption, centred where the form put it.
        const QString caption = QLatin1String(sdoCaptions ? column.sdoCaption : column.sdiCaption);
        QRect area = pixels({column.labelLeft, Layout::ColumnLabelTop, column.labelWidth,
                             Layout::ColumnLabelHeight});
        const int needed = metrics.horizontalAdvance(caption) + 2;
        if (needed > area.width())
            area.adjust(-(needed - area.width()) / 2, 0, (needed - area.width() + 1) / 2, 0);
        auto *columnLabel = new QLabel(caption, row);
        columnLabel->setGeometry(area);
        columnLabel->setFont(labelFont);
        columnLabel->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
        columnLabel->setObjectName(indexed("label4", firstLabel + k));
        m_label4[std::size_t(firstLabel - 16 + k)] = columnLabel;
    }
}

void QuorvexControlPanel::buildMenus() {
    QMenuBar *bar = menuBar();
    bar->setFont(fontOf(FontKind::Dialog));
    m_PCInterface = bar->addMenu(QStringLiteral("&PC Interface"));
    m_PCInterface->setObjectName(QStringLiteral("PCInterface"));
    // A menu is a window of its own and inherits no font from the bar.
    m_PCInterface->setFont(fontOf(FontKind::Dialog));
    for (int preset = 0; preset < int(PortPresets.size()); ++preset) {
        QAction *item = m_PCInterface->addAction(
            QLatin1String(PresetMenu[std::size_t(preset)].caption), this, [this, preset] {
                dispatch([preset](ToolkitEvents &e) { e.portPresetChosen(preset); });
            });
        item->setObjectName(QLatin1String(PortPresets[std::size_t(preset)].item));
        m_LPT[std::size_t(preset)] = item;
    }
    m_systemInfo = bar->addAction(QStringLiteral("&System Info"));
    m_systemInfo->setObjectName(QStringLiteral("systemInfo"));
    connect(m_systemInfo, &QAction::triggered, this, &QuorvexControlPanel::systemInfo_Click);
    m_menuabout = bar->addAction(QStringLiteral("&About"));
    m_menuabout->setObjectName(QStringLiteral("menuabout"));
    connect(m_menuabout, &QAction::triggered, this,
            [this] { dispatch([](ToolkitEvents &e) { e.aboutChosen(); }); });
}

void QuorvexControlPanel::setTabOrder() {
    QList<QWidget *> order;
    for (QCheckBox *box : m_softMode)
        order << box;
    order << m_GainSlider << m_Update << m_Clear;
    for (int k = 0; k < 16; ++k) {
        if (k != 6 && k != 7)
            order << m_Text1[std::size_t(k)];
    }
    for (qsizetype i = 1; i < order.size(); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);

    for (QLineEdit *box : m_readouts)
        box->setFocusPolicy(Qt::NoFocus);
    for (int k = 16; k < 32; ++k)
        m_Text1[std::size_t(k)]->setFocusPolicy(Qt::NoFocus);
}

namespace {

// Counts what keeps the window busy for as long as it lasts, and says when the
// window is idle again.
class Busy {
public:
    Busy(QuorvexControlPanel &window, int &depth)
        : m_window(window)
        , m_depth(depth) {
        ++m_depth;
    }
    ~Busy() {
        if (--m_depth == 0)
            emit m_window.idle();
    }

    Busy(const Busy &) = delete;
    Busy &operator=(const Busy &) = delete;

private:
    QuorvexControlPanel &m_window;
    int &m_depth;
};

} // namespace

template <typename Handler> void QuorvexControlPanel::dispatch(Handler &&handler) {
    if (!m_events)
        return;
    const Busy busy(*this, m_busy);
    handler(*m_events);
}

void QuorvexControlPanel::handle(const std::function<void(ToolkitEvents &)> &event) {
    dispatch(event);
}

QStringList QuorvexControlPanel::collectingMessages(const std::function<void()> &work) {
    QStringList collected;
    const struct Restore {
        QStringList *&slot;
        QStringList *outer;
        ~Restore() { slot = outer; }
    } restore{m_collected, std::exchange(m_collected, &collected)};
    work();
    return collected;
}

void QuorvexControlPanel::load() {
    dispatch([](ToolkitEvents &e) { e.load(); });
}

void QuorvexControlPanel::installLook() {
    // A desktop's own style would draw the fixed pixel layout with its own
    // margins; the classic style draws frames, slider and buttons the way the
    // layout was drawn for.
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Windows")));
    installFonts();
}

void QuorvexControlPanel::installFonts(const QString &fontFolder) {
    // "MS Sans Serif" is not on Linux and its stand-in is much wider than the
    // fixed layout allows; Tahoma from Wine has nearly the same metrics. Its
    // bold face draws no heavier than the regular one at these sizes, so bold
    // text is emboldened from the regular face instead.
    const QString tahoma = fontFolder + QStringLiteral("/tahoma.ttf");
    if (QFontDatabase::addApplicationFont(tahoma) >= 0) {
        QFont::insertSubstitution(QStringLiteral("MS Sans Serif"), QStringLiteral("Tahoma"));
        return;
    }
    qWarning("%s is missing, so the panel's labels run into their neighbours; install the "
             "Debian package fonts-wine",
             qPrintable(tahoma));
}

QIcon QuorvexControlPanel::panelIcon() {
    QIcon icon;
    for (int size : {16, 32, 48, 64})
        icon.addPixmap(QPixmap::fromImage(panelIconImage(size)));
    return icon;
}

QString QuorvexControlPanel::boxText(int index) const {
    return m_Text1.at(std::size_t(index))->text();
}

void QuorvexControlPanel::setBoxText(int index, const QString &text) {
    m_Text1.at(std::size_t(index))->setText(text);
}

QString QuorvexControlPanel::readoutText(Readout readout) const {
    return m_readouts.at(std::size_t(readout))->text();
}

void QuorvexControlPanel::setReadoutText(Readout readout, const QString &text) {
    m_readouts.at(std::size_t(readout))->setText(text);
}

int QuorvexControlPanel::checkValue(int index) const {
    switch (m_softMode.at(std::size_t(index))->checkState()) {
    case Qt::Checked:
        return Checked;
    case Qt::PartiallyChecked:
        return Greyed;
    default:
        return Unchecked;
    }
}

void QuorvexControlPanel::setCheckValue(int index, int value) {
    ModeCheckBox *box = m_softMode.at(std::size_t(index));
    switch (value) {
    case Unchecked:
        box->setCheckState(Qt::Unchecked);
        break;
    case Checked:
        box->setCheckState(Qt::Checked);
        break;
    case Greyed:
        box->setCheckState(Qt::PartiallyChecked);
        break;
    default:
        throw std::invalid_argument("Invalid property value: a check box takes 0, 1 or 2, not " +
                                    std::to_string(value));
    }
}

void QuorvexControlPanel::setCheckEnabled(int index, bool enabled) {
    m_softMode.at(std::size_t(index))->setEnabled(enabled);
}

int QuorvexControlPanel::sliderPosition() const {
    return m_GainSlider->value();
}

void QuorvexControlPanel::setSliderPosition(int position) {
    m_GainSlider->setValue(position);
}

int QuorvexControlPanel::sliderTickCount() const {
    const int interval = qMax(1, m_GainSlider->tickInterval());
    return (m_GainSlider->maximum() - m_GainSlider->minimum()) / interval + 1;
}

bool QuorvexControlPanel::sliderEnabled() const {
    return m_GainSlider->isEnabled();
}

void QuorvexControlPanel::setSliderEnabled(bool enabled) {
    m_GainSlider->setEnabled(enabled);
}

void QuorvexControlPanel::setScaleLabelEnabled(int index, bool enabled) {
    m_Scalelabel.at(std::size_t(index))->setEnabled(enabled);
}

void QuorvexControlPanel::setUpdateEnabled(bool enabled) {
    m_Update->setEnabled(enabled);
}

void QuorvexControlPanel::setTitle(const QString &title) {
    setWindowTitle(title);
}

void QuorvexControlPanel::yield() {
    QCoreApplication::processEvents();
}

void QuorvexControlPanel::tellPerson(const QString &text) {
    m_notices << text;
    QTimer::singleShot(0, this, &QuorvexControlPanel::showNotices);
}

void QuorvexControlPanel::showNotices() {
    // Inside a handler's yield it would open in the middle of the handler;
    // idle() comes back here once it has returned.
    if (busy())
        return;
    while (!m_notices.isEmpty())
        showMessage(m_notices.takeFirst());
}

void QuorvexControlPanel::showMessage(const QString &text) {
    if (m_collected) {
        *m_collected << text;
        return;
    }
    const Busy busy(*this, m_busy);
    const struct Open {
        int &boxes;
        explicit Open(int &b)
            : boxes(++b) {}
        ~Open() { --boxes; }
    } open{m_boxes};
    // While the box is open the clients' lines may run again: the ones that
    // wait are told, or a query would wait for the person to close it.
    emit idle();
    if (m_presentMessage) {
        m_presentMessage(text);
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, QLatin1String(ApplicationTitle), text, QMessageBox::Ok,
                    this);
    box.setFont(fontOf(FontKind::Dialog));
    box.exec();
}
