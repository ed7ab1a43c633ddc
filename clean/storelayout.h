// How the backup store lays out a run's folder, for the code that writes runs
// (backupstore.cpp) and the code that reads them (runs.cpp).
#pragma once

#include <QByteArray>
#include <QJsonValue>

#include <vector>

// The manifest's records, one JSON object per line, each with "type":
//   run      first: "format" 1, "kind" ("clean" or "restore"), "started" (ISO 8601,
//            UTC), "signature", "cwd" (see platform/pathjson.h), "uid", "full"
//   file     before the file is touched: "n" (place in the list, from 0), "path",
//            "dev" and "ino" (numbers, as in the reports; decimal text in
//            manifests written before, still read), "size", "mode",
//            "uid", "gid", "mtime" (seconds), "mtime_nsec", and for a full run
//            "sha256" and "sha256_cleaned" of the content and its cleaned form,
//            "copy" (the copy's name); "temp" (the new file's name beside it,
//            or for a file quarantined the name it is moved to before it is
//            removed); "action" "quarantine" for a file to be quarantined
//   in_place before the file is written in place: "n", "copy", "sha256" of the
//            copy's content (runs of format 1 before it was recorded have none)
//   outcome  "n", "outcome" ("cleaned", "unchanged", "quarantined" (without
//            "dev" and "ino": no file is left), "restored", "failed", or
//            "not-reached": kept with others, then left as it was because an
//            earlier file failed; its copy is gone), "reason" for a failure, "dev"
//            and "ino" of the file now at the path; "path" when no file record
//            came before
//   end      the run came to its end: "stopped" (at a failure), "ended"
//   recovered a later run finished what this one left: "at"

namespace clean {

// The manifest's name in each run folder.
inline constexpr char kManifest[] = "manifest.jsonl";

// A device or inode number as the manifest records it: a JSON number holding
// the 64 bits as a signed integer, as the reports write them.
inline QJsonValue identityValue(quint64 v) {
  return qint64(v);
}
// A device or inode number as recorded, in that form or as the decimal text of
// manifests written before it.
inline quint64 identityPart(const QJsonValue& v) {
  return v.isString() ? v.toString().toULongLong() : quint64(v.toInteger());
}

// The names in the folder `dirfd`, sorted, without "." and "..".
std::vector<QByteArray> namesIn(int dirfd);

}  // namespace clean
