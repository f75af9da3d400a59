#pragma once

#include <string>
#include <vector>

#include "recovery/run_mode.h"

namespace tallon {

// What the recovery core needs of the window it runs under: its inputs, the
// three outputs it writes, pending-event processing and message boxes. The
// window implements it over its widgets; MemoryHost stands in for tests and
// the command line. The host is the state: what the core writes here is what
// the operator sees.
class Host {
  public:
    virtual ~Host() = default;

    virtual std::string TableName() const = 0;  // Edit1
    virtual void SetTableName(const std::string& name) = 0;
    virtual std::string RawFileName() const = 0;  // FNEdit
    virtual void SetRawFileName(const std::string& name) = 0;
    virtual bool AllRawChecked() const = 0;          // AllRaw_CB
    virtual bool MergeChecked() const = 0;           // Merge_CB
    virtual bool FromTranChecked() const = 0;        // FromTran_CB
    virtual std::string FallbackDevice() const = 0;  // Edit2

    virtual void SetLinesRead(int linesRead) = 0;  // Edit3
    virtual void AddMemoLine(const std::string& line) = 0;
    virtual void ProcessPendingEvents() = 0;
    virtual void ShowMessage(const std::string& message) = 0;

    // Start-up in an external mode: the window hides the local-only
    // controls, clears the memo and appends the caption suffix.
    virtual void EnterExternalMode(RunMode mode) = 0;
};

// A host without a window: plain fields, with the window's design-time
// contents as defaults.
class MemoryHost : public Host {
  public:
    std::string tableName = "TRAN1";
    std::string rawFileName = "ALL.RAW";
    bool allRaw = false;
    bool merge = true;
    bool fromTran = false;
    std::string fallbackDevice = "DORN";
    int linesRead = 0;
    std::vector<std::string> memo{"TRAN_TPL.DB, TRAN_TPL.PX, etc must be available in the ",
                                  "current directory where this program ran from ."};
    std::vector<std::string> messages;
    std::string caption = "Tallon Utility";
    bool externalLayout = false;

    std::string TableName() const override { return tableName; }
    void SetTableName(const std::string& name) override { tableName = name; }
    std::string RawFileName() const override { return rawFileName; }
    void SetRawFileName(const std::string& name) override { rawFileName = name; }
    bool AllRawChecked() const override { return allRaw; }
    bool MergeChecked() const override { return merge; }
    bool FromTranChecked() const override { return fromTran; }
    std::string FallbackDevice() const override { return fallbackDevice; }
    void SetLinesRead(int n) override { linesRead = n; }
    void AddMemoLine(const std::string& line) override { memo.push_back(line); }
    void ProcessPendingEvents() override {}
    void ShowMessage(const std::string& message) override { messages.push_back(message); }
    void EnterExternalMode(RunMode mode) override;
};

}  // namespace tallon
