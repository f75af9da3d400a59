#include "base/ini_file.h"
#include "base/text.h"
#include "db/engine.h"
#include "log/activity_log.h"
#include "recovery/recovery_core.h"

namespace tallon {

RecoveryCore::RecoveryCore(db::Engine& engine, Host& host, std::string programDirectory)
    : engine_(engine), host_(host), programDirectory_(std::move(programDirectory)) {
    if (programDirectory_.empty() || programDirectory_.back() != '/') {
        programDirectory_ += '/';
    }
    engine_.SetProgramDirectory(programDirectory_);
}

RecoveryCore::~RecoveryCore() = default;

RunMode RunModeFromArguments(const std::vector<std::string>& arguments) {
    const std::string first = arguments.empty() ? std::string() : UpperCase(arguments.front());
    return first == "/CV" ? RunMode::Corvane : first == "/VL" ? RunMode::Velora : RunMode::Local;
}

void RecoveryCore::FormCreate(const std::vector<std::string>& arguments) {
    FormCreate(RunModeFromArguments(arguments));
}

void RecoveryCore::FormCreate(RunMode mode) {
    LogLine(" ");
    LogLine(std::string("TALLON: ") + kProgramVersion + " Started.");

    runMode_ = mode;
    if (runMode_ != RunMode::Local) {
        Query1.SetDatabaseName(AliasOf(runMode_));
        recordIds_.ShareThrough(RecordIdStoreFile(programDirectory_, AliasOf(runMode_)));
        host_.EnterExternalMode(runMode_);
    } else {
        Database1.ClearParams();
        Database1.AddParam("path=" + programDirectory_);
        Database1.Open();
    }

    StopRequested = false;
    host_.SetRawFileName(programDirectory_);
    AllowUnknownCards =
        IniReadBool(host_.RawFileName() + "tallon.ini", "Options", "AllowUnknown", false);
}

}  // namespace tallon
