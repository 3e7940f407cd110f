#include "cli/cli.h"

#include <algorithm>
#include <exception>
#include <map>
#include <new>
#include <string_view>

#include <CLI/CLI.hpp>

#include "app/console.h"
#include "app/run_error.h"
#include "app/version.h"
#include "archive/block_pipeline.h"
#include "cli/commands.h"
#include "mount/mount.h"
#include "platform/console.h"

namespace qzb::cli {
namespace {

constexpr std::string_view NoContentChecksum =
    "The format carries MD5 digests of the names and of the table of contents only, none of the "
    "content: a test proves that every block decodes to its length, not that the bytes are the "
    "ones that were packed.";

// CLI11 splits a value in brackets, "[a,b]", into a list. A leading marker shields it, and every
// argument that begins with the marker gets one more, so that taking one off gives back each
// argument exactly.
constexpr char Shield = '\x01';

std::vector<std::string> shielded(const std::vector<std::string>& arguments) {
    std::vector<std::string> result;
    result.reserve(arguments.size());
    // CLI11 takes the arguments last first.
    for (auto it = arguments.rbegin(); it != arguments.rend(); ++it) {
        const std::string& argument = *it;
        const bool bracketed =
            argument.size() >= 2 && argument.front() == '[' && argument.back() == ']';
        result.push_back(bracketed || argument.starts_with(Shield) ? Shield + argument : argument);
    }
    return result;
}

void restore(std::string& value) {
    if (value.starts_with(Shield)) {
        value.erase(0, 1);
    }
}

constexpr const char* EncodingHelp =
    "how entry names are decoded: auto (the default: UTF-8, or the code page that decodes every "
    "name and fits them best), raw (the bytes as stored), utf-8, or a code page (CP932, GBK, "
    "CP949, BIG5, CP1251, CP1252, CP437, ...)";

constexpr const char* ProgressHelp =
    "auto (the default: a bar on a terminal's standard error), always (the bar), never, or json "
    "(JSON Lines on standard error: entry, bytes_done, bytes_total, entries_done, entries_total, "
    "elapsed, at most ten a second and one at each entry's end)";

const std::map<std::string, ProgressMode> ProgressModes = {{"auto", ProgressMode::Auto},
                                                           {"always", ProgressMode::Always},
                                                           {"never", ProgressMode::Never},
                                                           {"json", ProgressMode::Json}};

CLI::Option* addProgressOption(CLI::App& command, std::string& mode) {
    return command.add_option("--progress", mode, ProgressHelp)
        ->check(CLI::IsMember({"auto", "always", "never", "json"}));
}

// The parsed command line: the command that was chosen and its options.
struct CommandLine {
    CLI::App app{"Lists, tests and extracts QZB archives.", "qzb"};
    CLI::App* list = nullptr;
    CLI::App* test = nullptr;
    CLI::App* extract = nullptr;
    CLI::App* cat = nullptr;
    CLI::App* mount = nullptr;
    CLI::App* hash = nullptr;
    CLI::App* verify = nullptr;
    ListOptions listOptions;
    TestOptions testOptions;
    ExtractOptions extractOptions;
    CatOptions catOptions;
    MountOptions mountOptions;
    HashOptions hashOptions;
    VerifyOptions verifyOptions;
    std::string testProgress = "auto";
    std::string extractProgress = "auto";

    CommandLine() {
        app.require_subcommand(1);
        // The same command line on every system: on Windows CLI11 would take "/x" for an option.
        app.allow_windows_style_options(false);
        app.set_version_flag("--version", "qzb " QZB_VERSION);
        app.footer("qzb COMMAND --help describes a command; man qzb describes them all.");

        list = app.add_subcommand("list", "List the entries: size, stored size and name.");
        list->add_flag(
            "--json", listOptions.json,
            "one JSON object per line: index, name, size, stored, blocks (and "
            "name_hex, the name's bytes in hex, for a name that is not UTF-8 or was decoded; "
            "decoded names follow a line {\"encoding\":...})");
        list->add_flag("--skip-checksums", listOptions.skipChecksums,
                       "do not check the MD5 digests of the names and of the table of contents");
        list->add_option("--encoding", listOptions.encoding, EncodingHelp);
        list->add_option("ARCHIVE", listOptions.archive, "the archive")->required();

        test = app.add_subcommand("test", "Decode every entry, writing nothing; report each "
                                          "failure and warning.");
        test->footer(std::string(NoContentChecksum));
        test->add_flag("--skip-checksums", testOptions.skipChecksums,
                       "do not check the MD5 digests of the names and of the table of contents");
        test->add_option("--encoding", testOptions.encoding, EncodingHelp);
        test->add_flag("--json", testOptions.json,
                       "one JSON object per entry: index, name, verdict (ok, warning or failed) "
                       "and reason, then a summary: entries, bytes, failed, warnings, digests");
        addProgressOption(*test, testProgress);
        test->add_option("ARCHIVE", testOptions.archive, "the archive")->required();

        extract = app.add_subcommand(
            "extract", "Extract the entries, or those matching a PATTERN, below DIRECTORY.");
        extract->footer("In a PATTERN, * and ? match within one path element, ** across "
                        "elements; / and \\ both separate elements.");
        extract
            ->add_option("--exclude", extractOptions.excludes,
                         "leave out the entries matching PATTERN, of those selected "
                         "(repeatable)")
            ->allow_extra_args(false)
            ->type_name("PATTERN");
        CLI::Option* filesFrom = extract
                                     ->add_option("--files-from", extractOptions.filesFrom,
                                                  "select the entries by the names or patterns "
                                                  "in FILE, one a line (- for standard input)")
                                     ->type_name("FILE");
        extract->add_flag("--null", extractOptions.null, "the names in FILE end with a NUL byte")
            ->needs(filesFrom);
        extract
            ->add_option("--strip-components", extractOptions.stripComponents,
                         "drop N leading path elements from every name; an entry with no more "
                         "is left out")
            ->type_name("N");
        CLI::Option* onConflict =
            extract
                ->add_option("--on-conflict", extractOptions.onConflict,
                             "where a path exists: skip (the default), overwrite, rename (to "
                             "\"name (1).ext\" and on) or error (the run ends there)")
                ->check(CLI::IsMember({"skip", "overwrite", "rename", "error"}));
        extract
            ->add_flag("--overwrite", extractOptions.overwrite,
                       "the same as --on-conflict overwrite")
            ->excludes(onConflict);
        extract
            ->add_option(
                "--threads", extractOptions.threads,
                "threads that inflate (1: none beside the one that writes; the default is the "
                "processors, up to " +
                    std::to_string(MaxInflateThreads) + ")")
            ->type_name("N")
            ->check(CLI::Range(1u, MaxInflateThreads));
        extract->add_flag("--skip-checksums", extractOptions.skipChecksums,
                          "do not check the MD5 digests of the names and of the table of contents");
        extract->add_flag("--quiet", extractOptions.quiet, "no progress bar: --progress never")
            ->excludes(addProgressOption(*extract, extractProgress));
        extract->add_option("--encoding", extractOptions.encoding, EncodingHelp);
        extract->add_option("ARCHIVE", extractOptions.archive, "the archive")->required();
        extract
            ->add_option("DIRECTORY", extractOptions.directory,
                         "the target directory, created if missing")
            ->required();
        extract->add_option("PATTERN", extractOptions.patterns, "entries to extract");

        cat = app.add_subcommand("cat", "Write the named entries' content to standard output.");
        cat->add_option("--encoding", catOptions.encoding, EncodingHelp);
        cat->add_option("ARCHIVE", catOptions.archive, "the archive")->required();
        cat->add_option("NAME", catOptions.names, "entry names, in the order to write")->required();

        mount = app.add_subcommand("mount", mount::mountBuilt()
                                                ? "Mount the archive read-only at MOUNTPOINT "
                                                  "(fusermount3 -u MOUNTPOINT unmounts it)."
                                                : "Mount the archive read-only (absent from this "
                                                  "build: it needs libfuse 3; none on Windows).");
        mount->add_flag("--skip-checksums", mountOptions.skipChecksums,
                        "do not check the MD5 digests of the names and of the table of contents");
        mount->add_option("--encoding", mountOptions.encoding, EncodingHelp);
        mount->add_option("--cache-size", mountOptions.cacheSize,
                          "decoded blocks kept, in bytes or with K, M or G (default 64M)");
        mount->add_flag("-f,--foreground", mountOptions.foreground,
                        "stay in the foreground; Ctrl+C or SIGTERM unmounts");
        mount->add_option("-o", mountOptions.fuseOptions, "a FUSE mount option, passed on")
            ->expected(1)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
        mount->add_option("ARCHIVE", mountOptions.archive, "the archive")->required();
        mount->add_option("MOUNTPOINT", mountOptions.mountPoint, "an empty directory")->required();

        hash = app.add_subcommand("hash", "Print the digests of the files an extraction writes, as "
                                          "sha256sum or md5sum prints them.");
        hash->add_option("--algorithm", hashOptions.algorithm, "sha256 (the default) or md5")
            ->check(CLI::IsMember({"sha256", "md5"}));
        hash->add_option("--encoding", hashOptions.encoding, EncodingHelp);
        hash->add_option("ARCHIVE", hashOptions.archive, "the archive")->required();
        hash->add_option("PATTERN", hashOptions.patterns, "entries to digest");

        verify = app.add_subcommand("verify", "Check the digests listed in SUMS against the "
                                              "archive's content, writing nothing.");
        verify->add_option("--encoding", verifyOptions.encoding, EncodingHelp);
        verify
            ->add_option("SUMS", verifyOptions.sums, "the output of qzb hash, sha256sum or md5sum")
            ->required();
        verify->add_option("ARCHIVE", verifyOptions.archive, "the archive")->required();
    }

    // Takes back what shielded() added to the values.
    void restoreValues() {
        for (std::string* value :
             {&listOptions.archive, &testOptions.archive, &extractOptions.archive,
              &extractOptions.directory, &catOptions.archive, &listOptions.encoding,
              &testOptions.encoding, &extractOptions.encoding, &catOptions.encoding,
              &extractOptions.onConflict, &mountOptions.archive, &mountOptions.mountPoint,
              &mountOptions.encoding, &mountOptions.cacheSize, &hashOptions.archive,
              &hashOptions.encoding, &verifyOptions.sums, &verifyOptions.archive,
              &verifyOptions.encoding}) {
            restore(*value);
        }
        if (extractOptions.filesFrom) {
            restore(*extractOptions.filesFrom);
        }
        testOptions.progress = ProgressModes.at(testProgress);
        extractOptions.progress = ProgressModes.at(extractProgress);
        for (std::vector<std::string>* values :
             {&extractOptions.patterns, &extractOptions.excludes, &catOptions.names,
              &mountOptions.fuseOptions, &hashOptions.patterns}) {
            std::for_each(values->begin(), values->end(), restore);
        }
    }

    int run(Console& console, const Streams& streams) const {
        if (list->parsed()) {
            return listEntries(listOptions, console);
        }
        if (test->parsed()) {
            return testArchive(testOptions, console, streams);
        }
        if (extract->parsed()) {
            return extractMatching(extractOptions, console, streams);
        }
        if (mount->parsed()) {
            return mountArchive(mountOptions, console);
        }
        if (hash->parsed()) {
            return hashEntries(hashOptions, console);
        }
        if (verify->parsed()) {
            return verifyEntries(verifyOptions, console);
        }
        platform::useBinaryMode(streams.out);
        return catEntries(catOptions, console);
    }
};

void writeError(Console& console, std::string message) {
    // One line, whatever the message holds.
    std::replace(message.begin(), message.end(), '\n', ' ');
    console.printError({"qzb: ", message, "\n"});
}

} // namespace

int runQzb(const std::vector<std::string>& arguments, const Streams& streams) {
    Console console(streams.out, streams.err, streams.outIsTerminal, streams.outputLost);
    int status = 0;
    try {
        CommandLine commandLine;
        try {
            std::vector<std::string> reversed = shielded(arguments);
            commandLine.app.parse(reversed);
            commandLine.restoreValues();
        } catch (const CLI::CallForHelp&) {
            console.print(commandLine.app.help());
            return console.outputWritten() ? 0 : 1;
        } catch (const CLI::CallForVersion& version) {
            console.print(std::string(version.what()) + "\n");
            return console.outputWritten() ? 0 : 1;
        } catch (const CLI::ParseError& error) {
            const bool unknownCommand = !arguments.empty() && !arguments[0].starts_with('-') &&
                                        commandLine.app
                                            .get_subcommands([&](CLI::App* command) {
                                                return command->get_name() == arguments[0];
                                            })
                                            .empty();
            writeError(console, (unknownCommand ? arguments[0] + ": no such command"
                                                : std::string(error.what())) +
                                    " (qzb --help shows the usage)");
            return 2;
        }
        status = commandLine.run(console, streams);
    } catch (const std::bad_alloc&) {
        writeError(console, "out of memory");
        return 1;
    } catch (const std::exception& error) {
        writeError(console, error.what());
        return 1;
    }
    if (!console.outputWritten()) {
        writeError(console, "cannot write the standard output");
        return 1;
    }
    return status;
}

} // namespace qzb::cli
