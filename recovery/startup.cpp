#include "base/ini_file.h"
#include "base/text.h"
#include "db/engine.h"
#include "log/activity_log.h"
#include "recovery/recovery_core.h"

namespace tallon {

RecoveryCore::RecoveryCore(Host& host, std::string programDirectory)
    : host_(host), programDirectory_(std::move(programDirectory)) {
    if (programDirectory_.empty() || programDirectory_.back() != '/') {
        programDirectory_ += '/';
    }
    db::SetEngineProgramDirectory(programDirectory_);
}

RecoveryCore::~RecoveryCore() = default;

void RecoveryCore::FormCreate(const std::vector<std::string>& arguments) {
    LogLine(" ");
    LogLine(std::string("TALLON: ") + kProgramVersion + " Started.");

    runMode_ = RunMode::Local;
    const std::string first = arguments.empty() ? std::string() : UpperCase(arguments.front());
    if (first == "/CV" || first == "/VL") {
        runMode_ = first == "/CV" ? RunMode::Corvane : RunMode::Velora;
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
