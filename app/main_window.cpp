#include "app/main_window.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QFrame>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPalette>
#include <QPlainTextEdit>
#include <QPushButton>
#include <utility>

#include "app/error_box.h"
#include "app/layout_style.h"
#include "app/password_style.h"
#include "app/raw_file_dialog.h"
#include "base/clock.h"
#include "base/date_time.h"
#include "base/text.h"
#include "log/activity_log.h"
#include "recovery/run_mode.h"

namespace tallon::app {

namespace {

constexpr const char* kCaption = "Tallon Utility";
constexpr const char* kMemoLine1 = "TRAN_TPL.DB, TRAN_TPL.PX, etc must be available in the ";
constexpr const char* kMemoLine2 = "current directory where this program ran from .";

const QColor kNavy(0x00, 0x00, 0x80);
const QColor kGreen(0x00, 0x80, 0x00);

template <class W>
W* Place(QWidget* parent, const char* name, int left, int top, int width, int height) {
    auto* widget = new W(parent);
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(left, top, width, height);
    return widget;
}

}  // namespace

TForm1::TForm1(db::Engine& engine, std::string programDirectory,
               const std::vector<std::string>& arguments, QWidget* parent)
    : QWidget(parent),
      core_(engine, *this, std::move(programDirectory)),
      chooseFile_(&ChooseRawFile) {
    setObjectName("Form1");
    setWindowTitle(QString::fromLatin1(kCaption));
    setFont(WindowFont());
    setFixedSize(kClientWidth, kClientHeight);
    move(kLeft, kTop);

    BuildControls();
    SetTabOrder();
    ConnectHandlers();

    // Start-up errors are shown like those of any other handler; the window
    // still appears, with whatever the steps before the failure did.
    RunHandler(this, [&] { FormCreate(arguments); });
}

TForm1::~TForm1() = default;

void TForm1::BuildControls() {
    BuildInputs();
    BuildStatus();
    BuildButtons();
    BuildAccessGate();
    StyleControls();
}

// The run's inputs: table name, options, RAW file.
void TForm1::BuildInputs() {
    Label5 = Place<QLabel>(this, "Label5", 16, 8, 80, 13);
    Label5->setText("Trans. File Name");
    Label5->installEventFilter(this);

    Edit1 = Place<QLineEdit>(this, "Edit1", 16, 24, 121, 21);
    Edit1->setText("TRAN1");

    FromTran_CB = Place<QCheckBox>(this, "FromTran_CB", 152, 8, 161, 17);
    FromTran_CB->setText("Card Info from TranSamp.DB");
    FromTran_CB->setChecked(false);

    Merge_CB = Place<QCheckBox>(this, "Merge_CB", 152, 24, 153, 17);
    Merge_CB->setText("Merged with existing TR files");
    Merge_CB->setChecked(true);

    AllRaw_CB = Place<QCheckBox>(this, "AllRaw_CB", 152, 48, 169, 17);
    AllRaw_CB->setText("All *.raw from the following path:");
    AllRaw_CB->setChecked(false);

    Label4 = Place<QLabel>(this, "Label4", 24, 56, 48, 13);
    Label4->setText("*.Raw File");

    FNEdit = Place<QLineEdit>(this, "FNEdit", 16, 72, 257, 21);
    FNEdit->setText("ALL.RAW");

    Button7 = Place<QPushButton>(this, "Button7", 280, 72, 33, 25);
    Button7->setText("...");

    // Holds the fallback device name; never shown.
    Panel1 = Place<QFrame>(this, "Panel1", -400, 0, 185, 41);
    Panel1->setVisible(false);
    Edit2 = Place<QLineEdit>(Panel1, "Edit2", 8, 8, 121, 21);
    Edit2->setText("DORN");
}

// The line counter and the status memo.
void TForm1::BuildStatus() {
    Label3 = Place<QLabel>(this, "Label3", 16, 116, 158, 16);
    Label3->setText("Total Records Processed:");
    Label3->setFont(LargeLabelFont());
    QPalette navy = Label3->palette();
    navy.setColor(QPalette::WindowText, kNavy);
    Label3->setPalette(navy);

    Edit3 = Place<QLineEdit>(this, "Edit3", 240, 112, 65, 21);
    Edit3->setText("0");
    Edit3->setToolTip("Lines read from the RAW file being recovered");

    Bevel1 = Place<QFrame>(this, "Bevel1", 16, 144, 289, 4);
    Bevel1->setFrameShape(QFrame::HLine);
    Bevel1->setFrameShadow(QFrame::Sunken);

    Memo1 = Place<QPlainTextEdit>(this, "Memo1", 8, 160, 305, 73);
    Memo1->setReadOnly(true);
    Memo1->setTabChangesFocus(true);
    Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    QPalette memo = Memo1->palette();
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        memo.setColor(group, QPalette::Base, kGreen);
        memo.setColor(group, QPalette::Text, Qt::white);
    }
    Memo1->setPalette(memo);
    // A long run with many refusals would otherwise grow the memo without
    // bound; the log keeps every line.
    Memo1->setMaximumBlockCount(kMemoMaxLines);
    Memo1->appendPlainText(kMemoLine1);
    Memo1->appendPlainText(kMemoLine2);
}

void TForm1::BuildButtons() {
    Button1 = Place<QPushButton>(this, "Button1", 16, 248, 113, 25);
    Button1->setText("Recover from RAW");
    Button2 = Place<QPushButton>(this, "Button2", 136, 248, 81, 25);
    Button2->setText("Reindex");
    Button6 = Place<QPushButton>(this, "Button6", 224, 248, 75, 25);
    Button6->setText("Close");
    Button5 = Place<QPushButton>(this, "Button5", 16, 280, 113, 25);
    Button5->setText("STOP");
}

// The access gate, created last so it lies over every other control.
void TForm1::BuildAccessGate() {
    Panel2 = Place<QFrame>(this, "Panel2", 352, 24, 424, 277);
    Panel2->setFrameShape(QFrame::Panel);
    Panel2->setFrameShadow(QFrame::Raised);
    Panel2->setAutoFillBackground(true);
    Label6 = Place<QLabel>(Panel2, "Label6", 56, 122, 49, 13);
    Label6->setText("Password:");
    PW_Edit = Place<QLineEdit>(Panel2, "PW_Edit", 120, 120, 121, 21);
    PW_Edit->setEchoMode(QLineEdit::Password);
    auto* dollars = new PasswordStyle;
    dollars->setParent(PW_Edit);
    PW_Edit->setStyle(dollars);
    PW_Edit->installEventFilter(this);
}

void TForm1::StyleControls() {
    auto* checkBoxes = new CheckBoxStyle;
    checkBoxes->setParent(this);
    for (QCheckBox* box : {FromTran_CB, Merge_CB, AllRaw_CB}) {
        box->setStyle(checkBoxes);
    }

    // Clicks on the labels, the separator and the gate belong to them: only
    // the bare window background answers a double-click with the version.
    for (QWidget* quiet :
         std::initializer_list<QWidget*>{Label3, Label4, Label6, Bevel1, Panel1, Panel2}) {
        quiet->setAttribute(Qt::WA_NoMousePropagation);
    }
}

void TForm1::SetTabOrder() {
    QWidget* const order[] = {Button1, Edit1,   Button2,  Memo1,       FNEdit,    Edit3,  Button6,
                              Button7, PW_Edit, Merge_CB, FromTran_CB, AllRaw_CB, Button5};
    for (size_t i = 1; i < std::size(order); ++i) {
        QWidget::setTabOrder(order[i - 1], order[i]);
    }
}

void TForm1::ConnectHandlers() {
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
    // The box is narrower than most paths.
    connect(FNEdit, &QLineEdit::textChanged, FNEdit, &QLineEdit::setToolTip);
    FNEdit->setToolTip(FNEdit->text());
    ShowLogPath();
    connect(Button2, &QPushButton::clicked, this,
            [this] { RunHandler(this, [this] { Button2Click(); }); });
    connect(Button5, &QPushButton::clicked, this,
            [this] { RunHandler(this, [this] { Button5Click(); }); });
    connect(Button6, &QPushButton::clicked, this,
            [this] { RunHandler(this, [this] { Button6Click(); }); });
    connect(Button7, &QPushButton::clicked, this,
            [this] { RunHandler(this, [this] { Button7Click(); }); });
}

// ---------------------------------------------------------------- Host

std::string TForm1::TableName() const {
    return FromQString(Edit1->text());
}
void TForm1::SetTableName(const std::string& name) {
    Edit1->setText(ToQString(name));
}
std::string TForm1::RawFileName() const {
    return FromQString(FNEdit->text());
}
void TForm1::SetRawFileName(const std::string& name) {
    FNEdit->setText(ToQString(name));
}
bool TForm1::AllRawChecked() const {
    return AllRaw_CB->isChecked();
}
bool TForm1::MergeChecked() const {
    return Merge_CB->isChecked();
}
bool TForm1::FromTranChecked() const {
    return FromTran_CB->isChecked();
}
std::string TForm1::FallbackDevice() const {
    return FromQString(Edit2->text());
}
void TForm1::SetLinesRead(int linesRead) {
    pendingLines_ = linesRead;
    ShowPending(!core_.Running());
}
void TForm1::AddMemoLine(const std::string& line) {
    pendingMemo_.append(ToQString(line));
    ShowPending(!core_.Running());
}
void TForm1::ShowPending(bool now) {
    constexpr qint64 kRedrawEveryMs = 50;
    const qint64 t = QDateTime::currentMSecsSinceEpoch();
    if (!now && t - lastShown_ < kRedrawEveryMs) {
        return;
    }
    lastShown_ = t;
    ShowLogPath();
    if (pendingLines_ >= 0) {
        Edit3->setText(QString::number(pendingLines_));
        pendingLines_ = -1;
    }
    if (!pendingMemo_.isEmpty()) {
        Memo1->appendPlainText(pendingMemo_.join(QLatin1Char('\n')));
        pendingMemo_.clear();
    }
}
void TForm1::ShowLogPath() {
    Memo1->setToolTip("Activity log: " + ToQString(ActivityLogPath()));
}
void TForm1::ProcessPendingEvents() {
    QCoreApplication::processEvents();
}
void TForm1::ShowMessage(const std::string& message) {
    ShowMessageBox(this, message);
}

void TForm1::EnterExternalMode(RunMode mode) {
    setWindowTitle(windowTitle() + ToQString(CaptionSuffixOf(mode)));
    // The hidden check boxes keep their states: a run reads them still.
    FromTran_CB->hide();
    Merge_CB->hide();
    Label5->hide();
    Edit1->hide();
    Memo1->clear();
    Button6->move(Button2->x(), Button6->y());
    Button2->hide();
}

// ---------------------------------------------------------------- gate

bool TForm1::GateShown() const {
    return !Panel2->isHidden();
}

std::string TForm1::ExpectedPassword() {
    return std::string(TALLON_PASSWORD_PREFIX) + FormatDateTime("yymmdd", ActiveClock().Now());
}

// ---------------------------------------------------------------- handlers

void TForm1::FormCreate(const std::vector<std::string>& arguments) {
    Panel2->setGeometry(rect());
    Panel2->show();
    Panel2->raise();
    core_.FormCreate(arguments);
}

void TForm1::FormShow() {
    if (GateShown()) {
        PW_Edit->setFocus();
    }
}

void TForm1::PW_EditKeyDown(int key) {
    if (key != Qt::Key_Return && key != Qt::Key_Enter) {
        return;
    }
    // Upper-cased but not trimmed: a stray blank makes the entry wrong.
    if (UpperCase(FromQString(PW_Edit->text())) != ExpectedPassword()) {
        ShowMessageBox(this, "Invalid Password !");
        PW_Edit->setFocus();
        return;
    }
    Panel2->hide();
    Button1->setFocus();
}

void TForm1::Button1Click() {
    if (core_.Running()) {
        // The core ignores the press; the buttons stay as the run set them.
        RunHandler(this, [this] { core_.Button1Click(); });
        return;
    }
    {
        // Pending events are processed during the run: the window must look
        // busy and not offer what it would ignore. Restored however the
        // run ends.
        struct Busy {
            QPushButton* recover;
            QPushButton* reindex;
            Busy(QPushButton* a, QPushButton* b) : recover(a), reindex(b) {
                recover->setEnabled(false);
                reindex->setEnabled(false);
                QGuiApplication::setOverrideCursor(Qt::WaitCursor);
            }
            ~Busy() {
                QGuiApplication::restoreOverrideCursor();
                recover->setEnabled(true);
                reindex->setEnabled(true);
            }
            Busy(const Busy&) = delete;
            Busy& operator=(const Busy&) = delete;
        } busy(Button1, Button2);
        RunHandler(this, [this] { core_.Button1Click(); });
    }
    ShowPending(true);
    // A close asked for while the run went on is carried out now that it
    // has returned (a nested press that the core ignored is still inside it).
    if (closeRequested_ && !core_.Running()) {
        closeRequested_ = false;
        close();
    }
}

void TForm1::Button2Click() {
    core_.Button2Click();
}

void TForm1::Button5Click() {
    core_.Button5Click();
}

void TForm1::Button6Click() {
    close();
}

void TForm1::Button7Click() {
    const std::optional<QString> chosen = chooseFile_(this);
    if (!chosen || chosen->isEmpty()) {
        return;
    }
    const QFileInfo file(*chosen);
    FNEdit->setText(file.absoluteFilePath());
    // Like the operator's own shell, the log and bare RAW names follow the
    // folder the operator browsed to.
    QDir::setCurrent(file.absolutePath());
    ShowLogPath();
}

void TForm1::Label5DblClick() {
    setWindowTitle(QString::fromLatin1(kProgramVersion));
}

void TForm1::FormDblClick() {
    setWindowTitle(QString::fromLatin1(kProgramVersion));
}

// ---------------------------------------------------------------- events

void TForm1::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!event->spontaneous()) {
        RunHandler(this, [this] { FormShow(); });
    }
}

void TForm1::closeEvent(QCloseEvent* event) {
    // The window must outlive a running recovery: its handler is still on
    // the stack, reading and writing these controls.
    if (core_.Running()) {
        closeRequested_ = true;
        event->ignore();
        return;
    }
    event->accept();
}

void TForm1::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        RunHandler(this, [this] { FormDblClick(); });
        event->accept();
        return;
    }
    QWidget::mouseDoubleClickEvent(event);
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (watched == PW_Edit && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            RunHandler(this, [this, key] { PW_EditKeyDown(key); });
            return true;
        }
    } else if (watched == Label5 && event->type() == QEvent::MouseButtonDblClick) {
        if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
            RunHandler(this, [this] { Label5DblClick(); });
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

bool TForm1::focusNextPrevChild(bool next) {
    // While the gate is up, Tab must not reach the buttons beneath it: a
    // keyboard press on "Recover from RAW" would get round the password.
    if (GateShown()) {
        PW_Edit->setFocus();
        return true;
    }
    return QWidget::focusNextPrevChild(next);
}

}  // namespace tallon::app
