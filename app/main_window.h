#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "recovery/host.h"
#include "recovery/recovery_core.h"

class QCheckBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace tallon::app {

// The program's one window. Its controls are the program's working state:
// the recovery core reads the options and boxes through the Host interface
// and writes the table name, the counter and the memo back into them.
class TForm1 final : public QWidget, public Host {
    Q_OBJECT

  public:
    // Outer size and position of the window, frame included, and its
    // client area inside a 4-pixel frame under a 19-pixel caption.
    static constexpr int kLeft = 412, kTop = 171;
    static constexpr int kOuterWidth = 339, kOuterHeight = 349;
    static constexpr int kClientWidth = kOuterWidth - 8, kClientHeight = kOuterHeight - 27;

    // Builds the window and runs its start-up (FormCreate) with the
    // command-line arguments after the program's name.
    TForm1(db::Engine& engine, std::string programDirectory,
           const std::vector<std::string>& arguments, QWidget* parent = nullptr);
    ~TForm1() override;

    // Host
    std::string TableName() const override;
    void SetTableName(const std::string& name) override;
    std::string RawFileName() const override;
    void SetRawFileName(const std::string& name) override;
    bool AllRawChecked() const override;
    bool MergeChecked() const override;
    bool FromTranChecked() const override;
    std::string FallbackDevice() const override;
    void SetLinesRead(int linesRead) override;
    void AddMemoLine(const std::string& line) override;
    void ProcessPendingEvents() override;
    void ShowMessage(const std::string& message) override;
    void EnterExternalMode(RunMode mode) override;

    RecoveryCore& core() { return core_; }

    // The browse dialog; tests put a stand-in here.
    using FileChooser = std::function<std::optional<QString>(QWidget* parent)>;
    void SetFileChooser(FileChooser chooser) { chooseFile_ = std::move(chooser); }

    // True while the access gate covers the window.
    bool GateShown() const;

    // The day's password: the build's two-letter prefix and today's date.
    static std::string ExpectedPassword();

    // Event handlers.
    void FormCreate(const std::vector<std::string>& arguments);
    void FormShow();
    void PW_EditKeyDown(int key);
    void Button1Click();
    void Button2Click();
    void Button5Click();
    void Button6Click();
    void Button7Click();
    void Label5DblClick();
    void FormDblClick();

  protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    bool focusNextPrevChild(bool next) override;

  private:
    void BuildControls();
    void BuildInputs();
    void BuildStatus();
    void BuildButtons();
    void BuildAccessGate();
    void StyleControls();
    void SetTabOrder();
    void ConnectHandlers();

    // Controls, in the order the window shows them.
    QLabel* Label5 = nullptr;
    QLineEdit* Edit1 = nullptr;
    QCheckBox* FromTran_CB = nullptr;
    QCheckBox* Merge_CB = nullptr;
    QCheckBox* AllRaw_CB = nullptr;
    QLabel* Label4 = nullptr;
    QLineEdit* FNEdit = nullptr;
    QPushButton* Button7 = nullptr;
    QLabel* Label3 = nullptr;
    QLineEdit* Edit3 = nullptr;
    QFrame* Bevel1 = nullptr;
    QPlainTextEdit* Memo1 = nullptr;
    QPushButton* Button1 = nullptr;
    QPushButton* Button2 = nullptr;
    QPushButton* Button6 = nullptr;
    QPushButton* Button5 = nullptr;
    QFrame* Panel2 = nullptr;  // the access gate
    QLabel* Label6 = nullptr;
    QLineEdit* PW_Edit = nullptr;
    QFrame* Panel1 = nullptr;  // never shown
    QLineEdit* Edit2 = nullptr;

    // The counter and memo are redrawn at most every kRedrawEvery during a
    // run (and at its end): a repaint per line would cost more than the
    // line. Pending events are still processed after every line.
    void ShowPending(bool now);
    // The memo's tooltip names the log, which moves with the browse dialog.
    void ShowLogPath();
    static constexpr int kMemoMaxLines = 10000;
    int pendingLines_ = -1;
    QStringList pendingMemo_;
    qint64 lastShown_ = 0;

    RecoveryCore core_;
    FileChooser chooseFile_;
    bool closeRequested_ = false;
};

}  // namespace tallon::app
