// Platform calls of a real run, in-process, made to fail through the fault
// layer's call table. The clean run is the oracle: each call it made is
// failed in turn, and what the user sees must follow from where that call
// stood. A failure in the save is reported with the call's own code, ends
// with status 1, leaves no temporary file and an earlier output as it was;
// one before the save is reported as the open's or the read's; one after
// the save costs nothing.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "export.h"
#include "fault_platform.h"
#include "platform_expect.h"
#include "run.h"
#include "support.h"
#include "texts.h"

namespace {

namespace fs = std::filesystem;

using namespace texts;

const char INPUT[] = "Quv-1-downloader.exe";
const char OUTPUT[] = "Quv-1-downloader.torrent";
const std::string EXTRACTING = extracting(INPUT);
const Bytes EARLIER = {'e', 'a', 'r', 'l', 'i', 'e', 'r'};

// What the user sees of one run.
struct Outcome {
    int status = -1;
    std::string out = {};
    bool has_output = false;
    Bytes output = {};
    std::vector<std::string> leftovers = {};  // entries beside the input and the output
    std::vector<std::string> opened = {};
    unsigned key_waits = 0;
};

void expect_outcome(const Outcome& got, const Outcome& want) {
    EXPECT_EQ(got.status, want.status);
    EXPECT_EQ(got.out, want.out);
    EXPECT_EQ(got.has_output, want.has_output);
    EXPECT_EQ(got.output, want.output);
    EXPECT_EQ(got.leftovers, want.leftovers) << "a temporary file was left";
    EXPECT_EQ(got.opened, want.opened);
    EXPECT_EQ(got.key_waits, want.key_waits);
}

struct Scenario {
    const char* name;
    Bytes input;
    Bytes payload;
    uint32_t offset;
};

// A payload of two full chunks and a bit, so the copy reads and writes three times.
std::vector<Scenario> scenarios() {
    Bytes image = read_file(fixture("hello64.exe"));
    Bytes payload = make_torrent(2 * COPY_CHUNK_SIZE + 100, 77);
    Bytes prefix = pattern_bytes(300, 78);
    Bytes back = trailer(-static_cast<int32_t>(payload.size()));
    // An image whose appended data holds a trailer: the trailer names the payload.
    Bytes image_prefix = concat(image, prefix);
    return {{"image", concat(image, payload), payload, static_cast<uint32_t>(image.size())},
            {"trailer", concat(concat(prefix, payload), back), payload, static_cast<uint32_t>(prefix.size())},
            {"both", concat(concat(image_prefix, payload), back), payload, static_cast<uint32_t>(image_prefix.size())}};
}

// A clean run's outcome and calls, and where its steps begin and end.
struct CleanRun {
    Outcome outcome;
    std::vector<CallRecord> calls;
    size_t identity_begin = 0;  // the output's identity, for the same-file check
    size_t save_begin = 0;      // the temporary file's creation
    size_t save_end = 0;        // just after the rename
};

class FaultTest : public ScratchDirTest {
protected:
    // Runs the program's run() in the scratch folder with standard output captured.
    Outcome run_in_dir(const std::vector<Fault>& faults) {
        fs::path saved_cwd = fs::current_path();
        fs::current_path(dir());
        cwd_ = fs::current_path().string();
        std::fflush(stdout);
        int saved_stdout = dup(1);
        int capture = open(path(".stdout").string().c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        dup2(capture, 1);
        char program[] = "dl2torrent";
        char* argv[] = {program, nullptr};
        arm_faults(faults);
        Outcome outcome;
        outcome.status = run(1, argv);
        disarm_faults();
        dup2(saved_stdout, 1);
        close(saved_stdout);
        close(capture);
        fs::current_path(saved_cwd);
        // Once renamed or deleted, the temporary file's name is another
        // process's to take, until it is withdrawn from the removal on
        // interruption: interruptions must wait meanwhile (signals show it).
        for (const CallRecord& call : call_log())
            EXPECT_TRUE(!PLATFORM.signals || call.signals_blocked ||
                        (call.call != Call::MoveFileExA && call.call != Call::DeleteFileA))
                << call_name(call.call) << " while an interruption could remove its name";
        return seen(outcome);
    }

    // The rest of the outcome, from the folder and the fault layer.
    Outcome seen(Outcome outcome) {
        Bytes out = read_file(path(".stdout"));
        fs::remove(path(".stdout"));
        outcome.out.assign(out.begin(), out.end());
        outcome.has_output = fs::exists(path(OUTPUT));
        outcome.output = read_file(path(OUTPUT));
        for (const auto& name : listing())
            if (name != INPUT && name != OUTPUT) outcome.leftovers.push_back(name);
        outcome.opened = opened_paths();
        outcome.key_waits = key_waits();
        return outcome;
    }

    // A successful run's outcome: three lines, the payload saved and opened by its full path.
    Outcome saved(const Scenario& s) const {
        return {0, texts::saved(INPUT, OUTPUT, s.offset, s.payload.size()), true, s.payload, {},
                {(fs::path(cwd_) / OUTPUT).string()}, 0};
    }

    // A failed run's outcome: its lines and the prompt, one key wait, and the
    // folder as it was before.
    Outcome failed(const std::string& out, const Outcome& before) const {
        Outcome outcome = before;
        outcome.status = 1;
        outcome.out = out + PROMPT;
        outcome.key_waits = 1;
        return outcome;
    }

    std::string open_failure(DWORD code) const { return EXTRACTING + open_failed(code, cwd_); }

    CleanRun clean_run(const Scenario& s);
    bool expected_outcome(const CleanRun& clean, size_t at, Failure failure, const Outcome& before,
                          Outcome* want) const;

    std::string cwd_;  // the scratch folder as the run sees it
};

CleanRun FaultTest::clean_run(const Scenario& s) {
    CleanRun clean;
    clean.outcome = run_in_dir({});
    expect_outcome(clean.outcome, saved(s));
    clean.calls = call_log();
    size_t none = clean.calls.size();
    clean.identity_begin = clean.save_begin = clean.save_end = none;
    for (size_t i = 0; i < clean.calls.size(); ++i) {
        const CallRecord& call = clean.calls[i];
        if (call.call == Call::identify_file) clean.identity_begin = i;
        if (call.call == Call::CreateFileA && call.write_access && clean.save_begin == none) clean.save_begin = i;
        if (call.call == Call::MoveFileExA) clean.save_end = i + 1;
    }
    // A save that went through removes nothing.
    EXPECT_EQ(std::count_if(clean.calls.begin(), clean.calls.end(),
                            [](const CallRecord& call) { return call.call == Call::DeleteFileA; }),
              0);
    EXPECT_LT(clean.identity_begin, clean.save_begin);
    EXPECT_LT(clean.save_begin, clean.save_end);
    return clean;
}

// What the user must see when the clean run's call `at` fails so. False when
// the run may take the failure for the input's own answer.
bool FaultTest::expected_outcome(const CleanRun& clean, size_t at, Failure failure, const Outcome& before,
                                 Outcome* want) const {
    const Call call = clean.calls[at].call;
    *want = clean.outcome;
    if (at >= clean.save_end) {
        // The opener then gets the name as it is.
        if (call == Call::GetFullPathNameA) want->opened = {OUTPUT};
    } else if (at >= clean.save_begin) {
        // An input that ends before the checked torrent does is no success.
        DWORD code = failure == Failure::ShortWrite ? ERROR_HANDLE_DISK_FULL
                     : failure == Failure::EmptyRead ? ERROR_HANDLE_EOF
                                                     : INJECTED_ERROR;
        *want = failed(clean.outcome.out + texts::failed("save torrent", code), before);
    } else if (at >= clean.identity_begin) {
        // A name with no file behind it is not the input; an input whose
        // identity cannot be had may be the output, which is left alone.
        if (call == Call::GetFileInformationByHandle)
            *want = failed(clean.outcome.out + WOULD_REPLACE_INPUT, before);
    } else if (failure == Failure::EmptyRead) {
        // The trailer search reads these small inputs whole, first: a file
        // that then ends early has shrunk, and the search cannot answer.
        auto first = clean.calls.begin();
        if (std::any_of(first, first + at, [](const CallRecord& c) { return c.call == Call::ReadFile; })) return false;
        *want = failed(EXTRACTING + texts::failed("read input file", ERROR_HANDLE_EOF), before);
    } else if (call == Call::FindFirstFileA) {
        *want = failed(not_found(DEFAULT_PATTERN, INJECTED_ERROR), before);
    } else if (call == Call::CreateFileA || (call == Call::GetFileSizeEx && clean.calls[at - 1].call == Call::CreateFileA)) {
        *want = failed(open_failure(INJECTED_ERROR), before);
    } else if (call != Call::FindNextFileA) {  // that one ends the matches, and there was one
        *want = failed(EXTRACTING + texts::failed("read input file", INJECTED_ERROR), before);
    }
    return true;
}

// Every fault the clean run's calls can meet: each call failing, each write
// short and each read empty; with where the call stood in the run.
std::vector<std::pair<size_t, Fault>> every_fault(const std::vector<CallRecord>& calls) {
    std::vector<std::pair<size_t, Fault>> faults;
    unsigned seen[static_cast<int>(Call::Count)] = {};
    for (size_t i = 0; i < calls.size(); ++i) {
        Call call = calls[i].call;
        unsigned nth = ++seen[static_cast<int>(call)];
        faults.push_back({i, {.call = call, .nth = nth}});
        if (call == Call::WriteFile) faults.push_back({i, {.call = call, .nth = nth, .failure = Failure::ShortWrite}});
        if (call == Call::ReadFile) faults.push_back({i, {.call = call, .nth = nth, .failure = Failure::EmptyRead}});
    }
    return faults;
}

const char* failure_name(Failure failure) {
    return failure == Failure::ShortWrite ? "a short " : failure == Failure::EmptyRead ? "an empty " : "a failed ";
}

TEST_F(FaultTest, EveryCallOfARunFailingInTurn) {
    for (bool has_earlier : {true, false})
    for (const Scenario& s : scenarios()) {
        SCOPED_TRACE(std::string(s.name) + (has_earlier ? ", with an earlier output" : ", without an earlier output"));
        write_file(path(INPUT), s.input);
        const Outcome before = {.has_output = has_earlier, .output = has_earlier ? EARLIER : Bytes{}};
        auto place_earlier = [&] {
            if (has_earlier) write_file(path(OUTPUT), EARLIER);
            else fs::remove(path(OUTPUT));
        };
        place_earlier();
        const CleanRun clean = clean_run(s);
        for (const auto& [at, fault] : every_fault(clean.calls)) {
            SCOPED_TRACE(failure_name(fault.failure) + std::string(call_name(fault.call)) + " #" +
                         std::to_string(fault.nth));
            place_earlier();
            Outcome got = run_in_dir({fault});
            EXPECT_EQ(faults_fired(), 1u);
            Outcome want;
            if (expected_outcome(clean, at, fault.failure, before, &want)) {
                expect_outcome(got, want);
                continue;
            }
            // The search met the input's end early: it finds nothing or the
            // payload itself, never another stretch, such as the whole
            // appended data of an image that also holds a trailer; the
            // torrent check finds the torrent cut short.
            const std::string incomplete = EXTRACTING + INCOMPLETE;
            if (got.out == clean.outcome.out) expect_outcome(got, clean.outcome);
            else if (got.out == incomplete + PROMPT) expect_outcome(got, failed(incomplete, before));
            else expect_outcome(got, Outcome{0, EXTRACTING, before.has_output, before.output});
        }
    }
}

#ifdef _WIN32
constexpr DWORD SHARING_VIOLATION = ERROR_SHARING_VIOLATION;
constexpr DWORD LOCK_VIOLATION = ERROR_LOCK_VIOLATION;
constexpr DWORD DENIED = ERROR_ACCESS_DENIED;
#else
constexpr DWORD DENIED = EACCES;
#endif

const unsigned FOREVER = 1000;
const unsigned long PAUSE = OPEN_DELAY_MS;

// A rename, a delete or an open that fails because another program holds
// the file for a moment is tried again, in growing pauses, for about 2 s;
// any other failure is final at once. POSIX files have no sharing modes,
// so there every failure is final.
const struct {
    const char* what;
    std::vector<Fault> faults;
    unsigned long slept_ms;  // the run's pause and the pauses between tries
    const char* failure;     // what could not be done; nullptr: saved
    DWORD code;
} HELD_CASES[] = {
    {"a rename refused for another reason", {{.call = Call::MoveFileExA, .times = FOREVER}}, PAUSE, "save torrent",
     INJECTED_ERROR},
    {"an open denied", {{.call = Call::CreateFileA, .times = FOREVER, .error = DENIED}}, 0, "open input file", DENIED},
#ifdef _WIN32
    {"a rename held three times", {{.call = Call::MoveFileExA, .times = 3, .error = SHARING_VIOLATION}},
     PAUSE + 10 + 20 + 40, nullptr, 0},
    {"a rename locked once", {{.call = Call::MoveFileExA, .error = LOCK_VIOLATION}}, PAUSE + 10, nullptr, 0},
    {"a rename denied past the budget", {{.call = Call::MoveFileExA, .times = FOREVER, .error = DENIED}},
     PAUSE + SHARING_RETRY_BUDGET_MS, "save torrent", DENIED},
    {"an open held twice", {{.call = Call::CreateFileA, .times = 2, .error = SHARING_VIOLATION}}, 10 + 20 + PAUSE,
     nullptr, 0},
    {"an open held past the budget", {{.call = Call::CreateFileA, .times = FOREVER, .error = SHARING_VIOLATION}},
     SHARING_RETRY_BUDGET_MS, "open input file", SHARING_VIOLATION},
    {"an open locked", {{.call = Call::CreateFileA, .error = LOCK_VIOLATION}}, 0, "open input file", LOCK_VIOLATION},
    {"the temporary file held twice after a failed write",
     {{.call = Call::WriteFile}, {.call = Call::DeleteFileA, .times = 2, .error = SHARING_VIOLATION}},
     PAUSE + 10 + 20, "save torrent", INJECTED_ERROR},
#else
    {"a rename denied", {{.call = Call::MoveFileExA, .times = FOREVER, .error = DENIED}}, PAUSE, "save torrent", DENIED},
#endif
};

// The temporary file's name is tried from the process's number on, a
// hundred names in all: a folder that already holds every one of them
// ends the save, one that holds all but the last does not. Either way
// the files that held the names are left as they were.
TEST_F(FaultTest, AFolderFullOfTemporaryNamesEndsTheSave) {
    const Scenario s = scenarios().front();
    write_file(path(INPUT), s.input);
    auto name_of = [&](unsigned i) {
        char name[64];
        std::snprintf(name, sizeof name, "Quv-1-downloader~%03x.tmp", 0x100 + i);
        return path(name);
    };
    auto take_name = [&](unsigned i) { write_file(name_of(i), EARLIER); };
    for (unsigned i = 0; i < 99; ++i) take_name(i);
    sys.GetCurrentProcessId = [] { return DWORD{0x100}; };
    EXPECT_EQ(run_in_dir({}).out, saved(s).out);
    take_name(99);
    fs::remove(path(OUTPUT));
    sys.GetCurrentProcessId = [] { return DWORD{0x100}; };
    Outcome got = run_in_dir({});
    EXPECT_EQ(got.status, 1);
    EXPECT_EQ(got.out, saved(s).out + texts::failed("save torrent", ERROR_FILE_EXISTS) + PROMPT);
    EXPECT_FALSE(got.has_output);
    for (unsigned i = 0; i < 100; ++i) EXPECT_EQ(read_file(name_of(i)), EARLIER) << i;
}

TEST_F(FaultTest, OnlyFilesHeldForAMomentAreTriedAgain) {
    const Scenario s = scenarios()[1];
    write_file(path(INPUT), s.input);
    const Outcome before = {.has_output = true, .output = EARLIER};
    for (const auto& c : HELD_CASES) {
        SCOPED_TRACE(c.what);
        write_file(path(OUTPUT), EARLIER);
        Outcome got = run_in_dir(c.faults);
        EXPECT_EQ(slept_ms(), c.slept_ms);
        if (!c.failure)
            expect_outcome(got, saved(s));
        else if (c.failure == std::string("open input file"))
            expect_outcome(got, failed(open_failure(c.code), before));
        else
            expect_outcome(got, failed(saved(s).out + texts::failed(c.failure, c.code), before));
    }
}

}  // namespace
