#include "db/local/index_sync.h"

#include <sys/stat.h>
#include <time.h>

#include <algorithm>

#include "base/errors.h"
#include "base/file_names.h"
#include "base/text.h"
#include "db/index_option.h"
#include "db/local/table_file.h"

namespace tallon::db::local {

namespace {

std::string SqliteIndexName(const std::string& slot, bool twin) {
    return "tallon_" + LowerCase(slot) + (twin ? "_cs" : "");
}

std::string Stem(const TableFile& f) {
    return WithoutDbExtension(f.Path());
}

// The file of a slot that exists: N.PX, N.XGk or its twin N.YGk.
std::string ExistingIndexFile(const TableFile& f, const std::string& slot) {
    std::string path = f.IndexFilePath(slot);
    if (!FileExists(path) && slot != "PX") {
        path = f.IndexFilePath(TwinSlot(slot));
    }
    return FileExists(path) ? path : std::string();
}

std::string CreateIndexSql(const TableFile& f, const IndexDef& def, bool binaryTwin) {
    const bool nocase = (def.options & ixCaseInsensitive) && !binaryTwin;
    const bool unique = (def.options & (ixPrimary | ixUnique)) && !binaryTwin;
    std::string sql = std::string("CREATE ") + (unique ? "UNIQUE " : "") + "INDEX " +
                      QuoteIdent(SqliteIndexName(def.slot, binaryTwin)) + " ON records(";
    for (size_t i = 0; i < def.fields.size(); ++i) {
        sql += (i ? ", " : "") + QuoteIdent(def.fields[i]);
        const int fi = f.FieldIndex(def.fields[i]);
        if (nocase && fi >= 0 && f.Fields()[fi].kind == FieldKind::Text)
            sql += " COLLATE NOCASE";
    }
    // The twin also carries the primary key's fields after the first (a
    // transaction's time and card): lookups that name the door together with
    // them, like the duplicate check, then land on a record or two instead of
    // reading every record of that door.
    const IndexDef* primary = f.PrimaryIndex();
    if (binaryTwin && primary) {
        for (size_t i = 1; i < primary->fields.size(); ++i) {
            const std::string& pf = primary->fields[i];
            if (std::none_of(def.fields.begin(), def.fields.end(),
                             [&](const std::string& g) { return SameText(pf, g); })) {
                sql += ", " + QuoteIdent(pf);
            }
        }
    }
    return sql + ")";
}

void EnsureCatalog(TableFile& f) {
    f.Exec(
        "CREATE TABLE IF NOT EXISTS tallon_indexes(slot TEXT PRIMARY KEY, name TEXT, fields "
        "TEXT, options INTEGER)");
}

void DropIndex(TableFile& f, const std::string& slot) {
    f.Exec("DROP INDEX IF EXISTS " + QuoteIdent(SqliteIndexName(slot, false)));
    f.Exec("DROP INDEX IF EXISTS " + QuoteIdent(SqliteIndexName(slot, true)));
    EnsureCatalog(f);
    f.RunInternal("DELETE FROM tallon_indexes WHERE slot=?", {Value::Text(slot)}, nullptr);
    f.Schema().MutableIndexes().erase(slot);
}

void BuildIndex(TableFile& f, const IndexDef& given) {
    IndexDef def = given;
    for (auto& field : def.fields) {
        const int fi = f.FieldIndex(field);
        if (fi < 0)
            throw EDatabaseError("Field '" + field + "' not found");
        field = f.Fields()[fi].name;  // the table's own spelling
    }
    DropIndex(f, def.slot);
    f.Exec(CreateIndexSql(f, def, false));
    // Statements compare with '=' under the binary collation, which a
    // case-insensitive (NOCASE) index cannot serve. Such an index gets a
    // binary twin so lookups and duplicate checks stay index-driven.
    const bool hasText = std::any_of(def.fields.begin(), def.fields.end(), [&](const auto& name) {
        return f.Fields()[f.FieldIndex(name)].kind == FieldKind::Text;
    });
    if ((def.options & ixCaseInsensitive) && hasText) {
        f.Exec(CreateIndexSql(f, def, true));
    }
    f.RunInternal(
        "INSERT OR REPLACE INTO tallon_indexes(slot, name, fields, options) "
        "VALUES(?, ?, ?, ?)",
        {Value::Text(def.slot), Value::Text(def.name), Value::Text(JoinFields(def.fields)),
         Value::Integer(static_cast<int64_t>(def.options))},
        nullptr);
    f.Schema().MutableIndexes()[def.slot] = def;
}

template <class Change>
void InOwnTransaction(TableFile& f, Change change, bool batchWillDo = false) {
    if (batchWillDo && f.InWrite()) {
        // Inside the batch's write transaction (a table whose index files
        // changed while the batch holds it): the change is committed with
        // the batch, and nothing that was read under it is let go early.
        change();
        return;
    }
    f.BeginOwnWrite();
    try {
        change();
        f.CommitOwnWrite();
    } catch (...) {
        f.RollbackNow();
        f.LoadSchema();
        throw;
    }
}

int64_t DirectoryMtime(const TableFile& f) {
    struct stat st {};
    const std::string dir = ExtractFilePath(f.Path());
    if (::stat(dir.empty() ? "." : dir.c_str(), &st) != 0) {
        return -1;
    }
    return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

// Indexes whose files are gone. The files found last time are tried first,
// one stat each.
std::vector<std::string> GoneIndexes(TableFile& f) {
    IndexFileState& state = f.IndexFiles();
    std::vector<std::string> gone;
    for (const auto& [slot, def] : f.Indexes()) {
        struct stat st {};
        auto known = state.paths.find(slot);
        if (known != state.paths.end() && ::stat(known->second.c_str(), &st) == 0) {
            continue;
        }
        const std::string path = ExistingIndexFile(f, slot);
        if (!path.empty()) {
            state.paths[slot] = path;
        } else {
            state.paths.erase(slot);
            gone.push_back(slot);
        }
    }
    return gone;
}

// Every index file beside the table whose index it lacks (a listing of the
// directory).
std::vector<IndexDef> IndexFilesListed(TableFile& f) {
    std::vector<IndexDef> arrived;
    const std::string stem = Stem(f);
    const std::string base = ExtractFileName(stem);
    for (const auto& entry : ListMatching(stem + ".*")) {
        const std::string slot = SlotOfExtension(entry.substr(base.size() + 1));
        if (slot.empty() || f.Indexes().count(slot) ||
            std::any_of(arrived.begin(), arrived.end(),
                        [&](const IndexDef& d) { return d.slot == slot; })) {
            continue;
        }
        if (auto def = ParseIndexFileText(slot, ReadSmallFile(ExtractFilePath(stem) + entry))) {
            arrived.push_back(*def);
        }
    }
    return arrived;
}

// The index files a copy would bring in next: the primary index's when the
// table has none, and the first free secondary slot's.
std::vector<IndexDef> IndexFilesInNextSlots(TableFile& f) {
    std::vector<std::string> candidates;
    if (!f.Indexes().count("PX"))
        candidates.push_back("PX");
    for (int k = 0;; ++k) {
        const std::string slot = "XG" + std::to_string(k);
        if (!f.Indexes().count(slot)) {
            candidates.push_back(slot);
            break;
        }
    }
    std::vector<IndexDef> arrived;
    // Looked for every batch while the directory changes (hundreds of day
    // tables being made): by name, not by listing a directory of
    // thousands of files each time. A copy in odd letter case is found by
    // the listing when the table is next opened.
    const std::string stem = Stem(f);
    for (const auto& slot : candidates) {
        std::string path = ProbeFileName(stem + "." + slot);
        if (path.empty() && slot != "PX") {
            path = ProbeFileName(stem + "." + TwinSlot(slot));
        }
        if (path.empty())
            continue;
        if (auto def = ParseIndexFileText(slot, ReadSmallFile(path)))
            arrived.push_back(*def);
    }
    return arrived;
}

// Index files that arrived without their index (copied in beside the
// table): a listing when the connection is (re)opened, later only when the
// directory changed, and then only where a copied-in index would go next.
// File-system clocks are coarse: a modification time within the last moment
// is not trusted to cover every change.
std::vector<IndexDef> ArrivedIndexes(TableFile& f) {
    IndexFileState& state = f.IndexFiles();
    std::vector<IndexDef> arrived;
    if (!state.discovered) {
        arrived = IndexFilesListed(f);
        state.discovered = true;
        state.directoryMtimeNs = -1;
    } else if (const int64_t mtime = DirectoryMtime(f);
               mtime >= 0 && mtime != state.directoryMtimeNs) {
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        const int64_t nowNs = static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
        state.directoryMtimeNs = nowNs - mtime > 100000000 ? mtime : -1;
        arrived = IndexFilesInNextSlots(f);
    }
    // A definition naming fields this table does not have is not ours to
    // build (a file of another table); it is left alone.
    std::erase_if(arrived, [&](const IndexDef& d) {
        return std::any_of(d.fields.begin(), d.fields.end(),
                           [&](const std::string& name) { return f.FieldIndex(name) < 0; });
    });
    return arrived;
}

}  // namespace

void SyncIndexes(TableFile& f, uint64_t generation, bool inBatch) {
    IndexFileState& state = f.IndexFiles();
    if (inBatch && state.checkedGeneration == generation) {
        return;
    }
    state.checkedGeneration = generation;
    const std::vector<std::string> gone = GoneIndexes(f);
    const std::vector<IndexDef> arrived = ArrivedIndexes(f);
    if (gone.empty() && arrived.empty())
        return;
    InOwnTransaction(
        f,
        [&] {
            for (const auto& slot : gone)
                DropIndex(f, slot);
            for (const auto& def : arrived)
                BuildIndex(f, def);
        },
        true);
}

namespace {

// Every index file of the table (for a full rebuild).
std::vector<std::string> AllIndexFiles(const TableFile& f) {
    std::vector<std::string> files;
    const std::string stem = Stem(f);
    const std::string base = ExtractFileName(stem);
    for (const auto& entry : ListMatching(stem + ".*")) {
        if (!SlotOfExtension(entry.substr(base.size() + 1)).empty()) {
            files.push_back(ExtractFilePath(stem) + entry);
        }
    }
    return files;
}

// Gives each definition its slot: PX for the primary index; a secondary one
// keeps the slot of an index of its name (unless everything is rebuilt),
// else takes the first slot neither taken nor showing files.
void AssignSlots(const TableFile& f, std::vector<IndexDef>& defs, bool replaceFiles) {
    std::vector<std::string> taken;
    for (IndexDef& def : defs) {
        if (def.name.empty() || (def.options & ixPrimary)) {
            def.slot = "PX";
            def.options |= ixPrimary | ixUnique;
            continue;
        }
        if (!replaceFiles) {
            for (const auto& [slot, d] : f.Indexes()) {
                if (slot != "PX" && SameText(d.name, def.name))
                    def.slot = slot;
            }
        }
        for (int k = 0; def.slot.empty(); ++k) {
            const std::string slot = "XG" + std::to_string(k);
            const bool used =
                std::find(taken.begin(), taken.end(), slot) != taken.end() ||
                (!replaceFiles && (f.Indexes().count(slot) || !ExistingIndexFile(f, slot).empty()));
            if (!used)
                def.slot = slot;
        }
        taken.push_back(def.slot);
    }
}

void BuildIndexes(TableFile& f, std::vector<IndexDef>& defs, bool replaceFiles) {
    if (replaceFiles) {
        std::vector<std::string> slots;
        for (const auto& [slot, d] : f.Indexes())
            slots.push_back(slot);
        for (const auto& slot : slots)
            DropIndex(f, slot);
    }
    // The primary index first: the twins of secondary indexes carry its
    // fields.
    std::stable_sort(defs.begin(), defs.end(), [](const IndexDef& a, const IndexDef& b) {
        return a.slot == "PX" && b.slot != "PX";
    });
    for (const auto& def : defs)
        BuildIndex(f, def);
}

// Secondary index files first, the primary index's last.
void WriteIndexFiles(TableFile& f, const std::vector<IndexDef>& defs) {
    // Matched to the directory with one listing, not one per new file.
    const std::string base = ExtractFileName(Stem(f));
    const NamesInDirectory names(ExtractFilePath(Stem(f)), base + ".");
    auto path = [&](const std::string& slot) { return names.Resolve(base + "." + slot); };
    const IndexDef* primary = nullptr;
    for (const auto& def : defs) {
        const IndexDef& built = f.Indexes().at(def.slot);
        if (def.slot == "PX") {
            primary = &built;
            continue;
        }
        WriteIndexFile(path(def.slot), IndexFileText(built));
        WriteIndexFile(path(TwinSlot(def.slot)), IndexFileText(built));
    }
    if (primary) {
        WriteIndexFile(path("PX"), IndexFileText(*primary));
    }
}

}  // namespace

void AddIndexes(TableFile& f, std::vector<IndexDef> defs, bool replaceFiles) {
    const std::vector<std::string> stale =
        replaceFiles ? AllIndexFiles(f) : std::vector<std::string>{};
    AssignSlots(f, defs, replaceFiles);
    InOwnTransaction(f, [&] { BuildIndexes(f, defs, replaceFiles); });
    for (const auto& path : stale) {
        DeleteFileCI(path);
    }
    f.IndexFiles().paths.clear();
    WriteIndexFiles(f, defs);
    f.IndexFiles().checkedGeneration = 0;
}

}  // namespace tallon::db::local
