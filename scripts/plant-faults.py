#!/usr/bin/env python3
"""Plant deliberate faults in Cleftone, one at a time, and record which tests catch each.

Each fault is a small edit of the code (a text found exactly once in src/ or cli/, replaced).
For every fault the script applies the edit, rebuilds, runs the test suite (without the fuzz
and packaging tests), notes the tests that failed and puts the code back. A fault that no
test catches is a gap in the tests; run this before and after changing the tests.

    scripts/plant-faults.py --check                 # is every fault's text still there?
    scripts/plant-faults.py --out faults.txt        # the full run (about a minute per fault)
    scripts/plant-faults.py --only engine,cli       # some areas
    scripts/plant-faults.py --ids engine-03         # one fault
    scripts/plant-faults.py --first                 # only whether each is caught (faster)
"""

import argparse
import pathlib
import re
import subprocess
import sys
import time

# (area, what goes wrong, text in the code, text planted instead)
FAULTS = [
    # The strip job, its commit and its helpers.
    ("engine", "a file read short is reported as stripped",
     "if (packetsWritten < totalPackets) {", "if (false && packetsWritten < totalPackets) {"),
    ("engine", "the codec setup is not written to the copy",
     "if (cookie && !cookie->isEmpty()) {", "if (false) {"),
    ("engine", "Stop does not stop a copy in progress",
     "if (isCancelled && isCancelled()) {", "if (false && isCancelled && isCancelled()) {"),
    ("engine", "the copy is never checked",
     "if (environment_.verifyCopies && copyExists) {", "if (false && environment_.verifyCopies && copyExists) {"),
    ("engine", "a failed repair pass is ignored",
     "if (!repair.outputUsable)", "if (false)"),
    ("engine", "types that cannot be written are attempted",
     "if (!CTIsWritableAudioFileType(type))", "if (false)"),
    ("engine", "a symbolic link is replaced instead of its target",
     "if (const QString target = canonicalPath(inFilePath_); !target.isEmpty())",
     "if (const QString target = canonicalPath(inFilePath_); false)"),
    ("engine", "the error log line loses its wording",
     '"Cleftone Failed To Strip File: %1.  Error:%2"', '"Cleftone failed to strip file: %1. Error: %2"'),
    ("engine", "the temporary file is left behind",
     "if (::unlink(pathBytes(tempFilePath_).constData()) != 0 && errno != ENOENT &&",
     "if (false && errno != ENOENT &&"),
    ("engine", "the temporary copy does not take the original's mode",
     "(0644 & input.st_mode) : 0600", "0600 : 0600"),
    ("engine", "a failing repair tool counts as success",
     "if (child.killed || child.status != 0) {", "if (child.killed) {"),
    ("engine", "the copy check ignores the codec setup",
     "if (copy->magicCookieData().value_or(QByteArray()) != record.cookie())", "if (false)"),
    ("engine", "the copy check ignores PCM blocks",
     "if (hashBytes(data, std::size_t(packets) * packetSize) != record_.blockHashes_[b])",
     "if (false)"),
    ("engine", "the copy check compares only the first block of each read of a PCM copy",
     "b < std::min(blocks, first + blocksPerRead)", "b < std::min(blocks, first + 1)"),
    ("engine", "the copy check lets the repair tool drop any MP3 frame",
     "if (!repaired || (record_.wellFormedFrames_[next] && !lastBeforeDamage))",
     "if (!repaired || (false && record_.wellFormedFrames_[next] && !lastBeforeDamage))"),
    ("engine", "a start after a crash removes a user's file that took a leftover's name",
     "sameIdentity(info, entry))\n                removeFile(path, removed);",
     "true)\n                removeFile(path, removed);"),
    ("engine", "a start after a crash removes files that are not temporary files",
     "if (!hasTemporaryFileName(name))\n            return;", "if (false)\n            return;"),

    ("engine", "a killed job's replacement folder stays after the next start",
     "if (hasReplacementDirectoryName(name) && lstatPath(entry.path, &info) &&",
     "if (false && hasReplacementDirectoryName(name) && lstatPath(entry.path, &info) &&"),
    ("engine", "in place, the file goes to the user who strips it",
     "if (::fchown(fd, output.st_uid, output.st_gid) != 0)\n        ::fchown(fd, uid_t(-1), output.st_gid);",
     "if (false)\n        ::fchown(fd, uid_t(-1), output.st_gid);"),
    ("engine", "in place, the file loses its ACL",
     "::fsetxattr(fd, kAccessAcl, acl.data(), acl.size(), 0);", "(void)acl;"),

    ("engine", "a running job's items are swept as a dead one's",
     "return now && now->startTime == startTime;", "return now && now->startTime == startTime + 1;"),

    ("engine", "the copy is not flushed before it replaces the original",
     "int failure = newItemFlushed ? 0 : syncPath(newItem);", "int failure = 0;"),
    ("engine", "a copy that the repair tool rebuilt is renamed without a flush",
     "copyExists && sameFileState(copy, written);", "copyExists;"),

    # The audio-file service.
    ("service", "an MP3 copy is written by the muxer, with a tag and a header frame of its own",
     "file->m_writer = Writer::Frames;", "(void)file;"),
    ("service", "an MP4 copy keeps its empty user-data box",
     'std::memcpy(boxes.data() + child + 4, "free", 4);', ";"),
    ("service", "odd-length AIFF sound data loses its pad byte",
     "if (m_bytesWritten & 1)", "if (false)"),
    ("service", "an MP4 copy gets the muxer's file type",
     "} else if (isMp4Family(m_type) && !m_setup.fileType.empty()) {", "} else if (false) {"),
    ("service", "APEv2 tags at the end are taken for audio",
     'std::memcmp(footer, "APETAGEX", 8) == 0) {', 'std::memcmp(footer, "APETAGEY", 8) == 0) {'),
    ("service", "ID3v1 tags at the end are taken for audio",
     'file.readAt(end - 128, tag) && std::memcmp(tag, "TAG", 3) == 0', 'file.readAt(end - 128, tag) && false'),
    ("service", "M4A files are typed as plain MPEG-4",
     'if (major.starts_with("M4A") || major.starts_with("M4P"))', 'if (major.starts_with("M4P"))'),
    ("service", "AIFF-C files are typed as AIFF",
     'm_type = std::memcmp(head + 8, "AIFC", 4) == 0 ? AudioFileType::AIFC : AudioFileType::AIFF;',
     "m_type = AudioFileType::AIFF;"),
    ("service", "a CAF file's priming and remainder frames are lost",
     'findChunk(m_reader, fourCC("pakt"))', 'findChunk(m_reader, fourCC("pakx"))'),
    ("service", "an MP3's Info frame is not found after junk",
     "if (isMpegInfoFrame(frame)) {", "if (false && isMpegInfoFrame(frame)) {"),
    ("service", "FLAC frame headers are taken without their CRC",
     "if (crc != h[position])", "if (false && crc != h[position])"),
    ("service", "the CAF writer leaves out the packet table",
     "writeChunkHeader(io, \"pakt\", 24 + std::int64_t(m_sizes.size()));",
     "return true;\n    writeChunkHeader(io, \"pakt\", 24 + std::int64_t(m_sizes.size()));"),
    ("service", "the metadata report misses chunks outside the audio",
     "if (!isAudioChunk(id))", "if (false && !isAudioChunk(id))"),

    # The window and its parts.
    ("app", "the run summary changes its wording",
     '"Failed To Strip %1 of %2 Files."', '"Failed to strip %1 of %2 files."'),
    ("app", "Show Report in the run summary does nothing",
     "[&errorLog](int button, bool) {\n            if (button == 1)",
     "[&errorLog](int button, bool) {\n            if (button == 2)"),
    ("app", "stopped files count as done and leave the list",
     "if (operation->isCancelled())\n            continue;", "if (false)\n            continue;"),
    ("app", "the removed metadata is not added up",
     "bytesRemoved_ += operation->bytesRemoved();", "bytesRemoved_ += 0 * operation->bytesRemoved();"),
    ("app", "Stop leaves the files already queued to be stripped",
     "if (*it != currentFinalizer_)\n            (*it)->cancel();",
     "if (*it != currentFinalizer_)\n            (void)*it;"),
    ("app", "Add Anyway in the video prompt does nothing",
     "[this, paths](int button, bool) {\n        if (button == 1)",
     "[this, paths](int button, bool) {\n        if (button == 2)"),
    ("app", "Don't ask again is taken as checked",
     "if (dontAskAgain && dontAskAgain->isChecked())", "if (dontAskAgain)"),
    ("app", "a destination folder that went away is not noticed",
     "if (!QFileInfo(destination).isDir()) {", "if (false) {"),
    ("app", "a file already listed is listed twice",
     "if (!m_serialByPath.contains(path) && !seen.contains(path)) {", "if (!seen.contains(path)) {"),
    ("app", "the video warning setting is ignored",
     "rules.suppressVideoFileWarning =\n        preferences_.boolForKey(",
     "rules.suppressVideoFileWarning = false &&\n        preferences_.boolForKey("),

    # The command-line tool.
    ("cli", "a file named twice is stripped twice",
     "if (!seen.contains(path)) {", "if (true) {"),
    ("cli", "the summary swaps its counts",
     'QStringLiteral("Stripped %1 of %2 files").arg(stripped).arg(total)',
     'QStringLiteral("Stripped %1 of %2 files").arg(total).arg(stripped)'),
    ("cli", "a missing output folder is not refused",
     "if (::stat(pathBytes(folder).constData(), &info) != 0 || !S_ISDIR(info.st_mode)) {",
     "if (false && (::stat(pathBytes(folder).constData(), &info) != 0 || !S_ISDIR(info.st_mode))) {"),
    ("cli", "two files of one name overwrite each other in the output folder",
     "if (names.contains(name)) {", "if (false) {"),
    ("cli", "failures still exit with success",
     "return stripped == total ? kAllStripped : kFailures;", "return kAllStripped;"),

    # Platform stand-ins.
    ("platform", "an operation starts before its dependencies finish",
     "if (operation->isReady()) {", "if (true) {"),
    ("platform", "an operation added twice runs twice",
     "if (operation->enqueued_.exchange(true))", "if (false)"),
    ("platform", "a stored preference loses to the default",
     "if (settings.contains(key))\n        return settings.value(key);",
     "if (false)\n        return settings.value(key);"),
    ("platform", "a damaged folder bookmark is trusted",
     "!= qChecksum(payload)) {", "!= qChecksum(payload) && false) {"),
    ("platform", "a download from another host is offered",
     "if (url.host().compare(feed.host(), Qt::CaseInsensitive) != 0)",
     "if (false && url.host().compare(feed.host(), Qt::CaseInsensitive) != 0)"),
    ("platform", "the running version is offered as an update",
     "if (QVersionNumber::compare(version.normalized(), currentVersion.normalized()) > 0) {",
     "if (QVersionNumber::compare(version.normalized(), currentVersion.normalized()) >= 0) {"),
    ("platform", "a folder path's display name is empty",
     "while (end > 0 && path.at(end - 1) == QLatin1Char('/'))\n        --end;", ";"),

    # The error log.
    ("errorlog", "copied rows lose their order",
     "        return;\n    std::sort(rows.begin(), rows.end());", "        return;\n"),
    ("errorlog", "copied rows lose their tab",
     'text += QStringLiteral("%1\\t%2\\n").arg(date, entry.log);',
     'text += QStringLiteral("%1 %2\\n").arg(date, entry.log);'),
    ("errorlog", "the saved log gets another name",
     'QStringLiteral("Error Log.log")', 'QStringLiteral("Error Log.txt")'),
    ("errorlog", "the saved log's times lose their zone",
     'QStringLiteral(" +0000")', 'QStringLiteral("")'),

    # Intake.
    ("intake", "hidden files in folders are skipped",
     "if (name[0] == '.' && (name[1] == '\\0' || (name[1] == '.' && name[2] == '\\0')))",
     "if (name[0] == '.')"),
    ("intake", "video files are held back although the warning is off",
     "if (!rules.suppressVideoFileWarning && videoExtensions().contains(extension) &&",
     "if (videoExtensions().contains(extension) &&"),
    ("intake", "file URLs of other hosts are taken",
     "if (!url.isValid() || !url.isLocalFile() || !namesThisHost(url.host()))",
     "if (!url.isValid() || !url.isLocalFile() || (false && !namesThisHost(url.host())))"),
    ("intake", "Stop does not end a folder walk",
     "        if (cancelled())\n            return;\n        const FolderEntry& entry",
     "        if (false && cancelled())\n            return;\n        const FolderEntry& entry"),
    ("intake", "numbers in names sort as text",
     "collator.setNumericMode(true);", "collator.setNumericMode(false);"),

    # Shared widgets.
    ("ui", "the save panel appends an extension that is there in capitals",
     "if (QFileInfo(path).suffix().compare(extension, Qt::CaseInsensitive) == 0)",
     "if (QFileInfo(path).suffix().compare(extension, Qt::CaseSensitive) == 0)"),
    ("ui", "a Settings checkbox stores the opposite",
     "preferences_.setValue(key, checked);", "preferences_.setValue(key, !checked);"),
]

EXCLUDED_TESTS = "audiofile_fuzz|install_tree|install_deb"


def fault_ids():
    counts, ids = {}, []
    for area, *_ in FAULTS:
        counts[area] = counts.get(area, 0) + 1
        ids.append(f"{area}-{counts[area]:02d}")
    return ids


def source_files(tree):
    for folder in ("src", "cli"):
        for path in sorted((tree / folder).rglob("*")):
            if path.suffix in (".cpp", ".h") and path.is_file():
                yield path


def locate(tree, old):
    """The one file that holds `old` exactly once, or an explanation."""
    hits = []
    for path in source_files(tree):
        count = path.read_text(encoding="utf-8", errors="surrogateescape").count(old)
        if count:
            hits.append((path, count))
    if not hits:
        return None, "text not found"
    if len(hits) > 1 or hits[0][1] > 1:
        return None, "text found more than once: " + ", ".join(str(p.relative_to(tree)) for p, _ in hits)
    return hits[0][0], None


def failed_tests(output):
    names, listing = [], False
    for line in output.splitlines():
        if line.startswith("The following tests FAILED:"):
            listing = True
        elif listing:
            match = re.match(r"\s*\d+ - (.+?) \((.+)\)\s*$", line)
            if match:
                names.append(match.group(1).split("  #")[0].strip())
    return names


def run(command, cwd, timeout):
    try:
        done = subprocess.run(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              text=True, errors="replace", timeout=timeout)
        return done.returncode, done.stdout
    except subprocess.TimeoutExpired as expired:
        return -1, (expired.stdout or b"").decode(errors="replace") if isinstance(expired.stdout, bytes) else (expired.stdout or "")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    root = pathlib.Path(__file__).resolve().parent.parent
    parser.add_argument("--tree", type=pathlib.Path, default=root, help="source tree (default: this one)")
    parser.add_argument("--build", type=pathlib.Path, help="build folder (default: TREE/build)")
    parser.add_argument("--only", help="areas, comma-separated: " + ", ".join(sorted({f[0] for f in FAULTS})))
    parser.add_argument("--ids", help="fault ids, comma-separated (as --check lists them)")
    parser.add_argument("--check", action="store_true", help="only check that every fault's text is there")
    parser.add_argument("--jobs", type=int, default=2, help="build and test jobs")
    parser.add_argument("--first", action="store_true",
                        help="stop each test run at its first failure (faster; names one catcher)")
    parser.add_argument("--out", type=pathlib.Path, help="also write the results here")
    args = parser.parse_args()
    tree = args.tree.resolve()
    build = (args.build or tree / "build").resolve()

    chosen = []
    for fault_id, fault in zip(fault_ids(), FAULTS):
        if args.only and fault[0] not in args.only.split(","):
            continue
        if args.ids and fault_id not in args.ids.split(","):
            continue
        chosen.append((fault_id, fault))

    lines = []

    def report(line):
        print(line, flush=True)
        lines.append(line)
        if args.out:
            args.out.write_text("\n".join(lines) + "\n", encoding="utf-8")

    stale = 0
    for fault_id, (area, what, old, new) in chosen:
        path, problem = locate(tree, old)
        if problem:
            stale += 1
            report(f"{fault_id}  STALE   {what}: {problem}")
        elif args.check:
            report(f"{fault_id}  ok      {path.relative_to(tree)}: {what}")
    if args.check or stale:
        return 1 if stale else 0

    if run(["cmake", "--build", str(build), "-j", str(args.jobs)], tree, 3600)[0] != 0:
        print("the tree does not build as it is", file=sys.stderr)
        return 1
    caught = unbuilt = 0
    try:
        for fault_id, (area, what, old, new) in chosen:
            path, _ = locate(tree, old)
            original = path.read_bytes()
            started = time.monotonic()
            try:
                path.write_bytes(original.replace(old.encode(), new.encode(), 1))
                status, output = run(["cmake", "--build", str(build), "-j", str(args.jobs)], tree, 1800)
                if status != 0:
                    unbuilt += 1
                    report(f"{fault_id}  NOBUILD {path.relative_to(tree)}: {what}")
                    continue
                status, output = run(["ctest", "--test-dir", str(build), "-j", str(args.jobs),
                                      "-E", EXCLUDED_TESTS, "--timeout", "120"] +
                                     (["--stop-on-failure"] if args.first else []), tree, 3600)
                names = failed_tests(output)
                if status == -1:
                    names.append("(the test run timed out)")
                elif status != 0 and not names:
                    names.append("(ctest failed)")
                verdict = "CAUGHT " if names else "MISSED "
                caught += bool(names)
                seconds = int(time.monotonic() - started)
                report(f"{fault_id}  {verdict} {path.relative_to(tree)}: {what} [{seconds} s]")
                for name in names:
                    report(f"            {name}")
            finally:
                path.write_bytes(original)
    finally:
        run(["cmake", "--build", str(build), "-j", str(args.jobs)], tree, 3600)
    report(f"caught {caught} of {len(chosen) - unbuilt} faults ({unbuilt} did not build)")
    return 0 if caught == len(chosen) - unbuilt else 1


if __name__ == "__main__":
    sys.exit(main())
