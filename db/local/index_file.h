#pragma once

// The small files that stand for a table's indexes: N.PX for the primary
// index, N.XGk/N.YGk for the k-th secondary one. Each holds the index's
// definition; the index itself lives inside N.DB and is kept in step with
// these files whenever the table is opened.

#include <optional>
#include <string>
#include <vector>

namespace tallon::db::local {

struct IndexDef {
    std::string slot;  // "PX", "XG0", "XG1", ...
    std::string name;  // "" for the primary index
    std::vector<std::string> fields;
    unsigned options = 0;  // db::IndexOption bits
};

std::string JoinFields(const std::vector<std::string>& fields);

// The text written into an index file, and reading it back.
std::string IndexFileText(const IndexDef& def);
std::optional<IndexDef> ParseIndexFileText(const std::string& slot, const std::string& text);

// Slot of an index file extension ("PX", "XG3", "YG3"), normalised to the
// X form for secondary indexes; "" when the extension is not an index's.
std::string SlotOfExtension(const std::string& ext);

// The twin file of a secondary index slot: "XG3" -> "YG3".
std::string TwinSlot(const std::string& slot);

// Writes an index file durably: a temporary file named by
// TemporaryIndexFileName (it carries the writer's process id, so a stray one
// left by a killed process can be told from one being written), fsync,
// rename, fsync of the directory. So an index file is absent or complete.
void WriteIndexFile(const std::string& path, const std::string& content);
std::string TemporaryIndexFileName(const std::string& path);

std::string ReadSmallFile(const std::string& path);

}  // namespace tallon::db::local
