// Every platform call of a run made to fail in turn, in-process, through the
// wrapping platform layer. A fault in the save must be reported, end with
// status 1, leave no temporary file and leave an earlier output as it was.
// A fault while locating may leave nothing found, but whatever the run
// reports as saved must be the payload, exactly the stretch it names.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "export.h"
#include "fault_platform.h"
#include "run.h"
#include "support.h"

namespace {

namespace fs = std::filesystem;

const char INPUT[] = "Quv-1-downloader.exe";
const char OUTPUT[] = "Quv-1-downloader.torrent";
const char PROMPT[] = "Press any key to exit..\n";

struct Outcome {
    int status = -1;
    std::string out;
};

class FaultTest : public ScratchDirTest {
protected:
    void SetUp() override {
        ScratchDirTest::SetUp();
        disarm_faults();
    }
    void TearDown() override {
        disarm_faults();
        ScratchDirTest::TearDown();
    }

    // Runs the program's run() in the scratch folder with stdout captured.
    Outcome run_in_dir(const FaultPlan& plan) {
        arm_fault(plan);
        Outcome outcome;
        fs::path saved_cwd = fs::current_path();
        fs::current_path(dir());
        std::fflush(stdout);
        int saved_stdout = dup(1);
        int capture = open(path(".stdout").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        dup2(capture, 1);
        char program[] = "dl2torrent";
        char* argv[] = {program, nullptr};
        outcome.status = run(1, argv);
        std::fflush(stdout);
        dup2(saved_stdout, 1);
        close(saved_stdout);
        close(capture);
        fs::current_path(saved_cwd);
        Bytes out = read_file(path(".stdout"));
        fs::remove(path(".stdout"));
        outcome.out.assign(out.begin(), out.end());
        return outcome;
    }

    // The saved file as the desktop is asked to open it: a full path.
    std::string opened_output() const { return (fs::canonical(dir()) / OUTPUT).string(); }
};

struct Scenario {
    const char* name;
    Bytes input;
    Bytes payload;
    uint32_t offset;
};

// A payload of two full chunks and a bit, so the copy reads and writes three times.
std::vector<Scenario> scenarios() {
    Bytes image = read_file(fixture("hello64.exe"));
    Bytes payload = pattern_bytes(2 * COPY_CHUNK_SIZE + 100, 77);
    Bytes prefix = pattern_bytes(300, 78);
    Bytes back = trailer(-static_cast<int32_t>(payload.size()));
    // An image whose appended data holds a trailer: the trailer names the payload.
    Bytes image_prefix = concat(image, prefix);
    return {{"image", concat(image, payload), payload, static_cast<uint32_t>(image.size())},
            {"trailer", concat(concat(prefix, payload), back), payload, static_cast<uint32_t>(prefix.size())},
            {"both", concat(concat(image_prefix, payload), back), payload, static_cast<uint32_t>(image_prefix.size())}};
}

std::string located_line(uint32_t offset, size_t length) {
    char line[80];
    std::snprintf(line, sizeof line, "Torrent should be at 0x%x len 0x%zx\n", offset, length);
    return line;
}

// The stretch a run says it saved, from its "Torrent should be at" line.
bool printed_stretch(const std::string& out, uint32_t* offset, uint32_t* length) {
    size_t at = out.find("Torrent should be at ");
    return at != std::string::npos && std::sscanf(out.c_str() + at, "Torrent should be at 0x%x len 0x%x", offset, length) == 2;
}

const DWORD FAULT_ERROR = 5;  // EIO, a value no other path of the run produces

enum class Phase { Locate, Save, After };
const char* const PHASE_NAMES[] = {"locate", "save", "after"};

TEST_F(FaultTest, EveryCallFailingInTurn) {
    const Bytes earlier = {'e', 'a', 'r', 'l', 'i', 'e', 'r'};
    for (bool has_earlier : {true, false})
    for (const Scenario& s : scenarios()) {
        SCOPED_TRACE(std::string(s.name) + (has_earlier ? ", with an earlier output" : ", without an earlier output"));
        auto place_earlier = [&] {
            if (has_earlier)
                write_file(path(OUTPUT), earlier);
            else
                fs::remove(path(OUTPUT));
        };
        write_file(path(INPUT), s.input);
        place_earlier();

        // The clean run: what succeeds, and the calls it makes in order.
        Outcome clean = run_in_dir({});
        const std::string success = std::string("Extracting from ") + INPUT + "...\n" +
                                    located_line(s.offset, s.payload.size()) + "Saving torrent to " + OUTPUT + "...\n";
        ASSERT_EQ(clean.out, success);
        ASSERT_EQ(clean.status, 0);
        ASSERT_EQ(read_file(path(OUTPUT)), s.payload);
        const std::vector<CallRecord> calls = call_log();
        // The save runs from the temporary file's creation to the rename.
        size_t save_begin = calls.size(), save_end = calls.size();
        for (size_t i = 0; i < calls.size(); ++i) {
            if (calls[i].call == Call::CreateFile && calls[i].write_access && save_begin == calls.size()) save_begin = i;
            if (calls[i].call == Call::MoveFileEx) save_end = i + 1;
        }
        ASSERT_LT(save_begin, save_end);

        unsigned seen[static_cast<int>(Call::Count)] = {};
        std::vector<FaultPlan> plans;
        std::vector<Phase> phases;
        for (size_t i = 0; i < calls.size(); ++i) {
            unsigned nth = ++seen[static_cast<int>(calls[i].call)];
            Phase phase = i < save_begin ? Phase::Locate : i < save_end ? Phase::Save : Phase::After;
            plans.push_back({calls[i].call, nth, FAULT_ERROR, false});
            phases.push_back(phase);
            if (calls[i].call == Call::WriteFile) {
                plans.push_back({calls[i].call, nth, 0, true});
                phases.push_back(phase);
            }
            if (calls[i].call == Call::ReadFile) {
                plans.push_back({calls[i].call, nth, 0, false, true});
                phases.push_back(phase);
            }
        }
        for (size_t k = 0; k < plans.size(); ++k) {
            const FaultPlan& plan = plans[k];
            std::string what = std::string(plan.short_write ? "short " : plan.empty_read ? "empty " : "") +
                               call_name(plan.call) + " #" + std::to_string(plan.nth);
            SCOPED_TRACE(what);
            place_earlier();
            Outcome r = run_in_dir(plan);
            EXPECT_TRUE(fault_fired());
            EXPECT_EQ(temporaries_beside(path(OUTPUT)), std::vector<std::string>{}) << "a temporary file was left";
            // An absent output reads as empty; an earlier one must stay as it was.
            const Bytes before = has_earlier ? earlier : Bytes{};
            Bytes output = read_file(path(OUTPUT));
            std::string result;
            if (phases[k] == Phase::Save && plan.empty_read) {
                // A read that delivers nothing is the end of the input: the
                // copy ends there and the bytes before it are saved.
                unsigned reads_before_save = 0;
                for (size_t i = 0; i < save_begin; ++i) reads_before_save += calls[i].call == Call::ReadFile;
                size_t kept = (plan.nth - reads_before_save - 1) * size_t{COPY_CHUNK_SIZE};
                EXPECT_EQ(r.out, success);
                EXPECT_EQ(r.status, 0);
                EXPECT_EQ(opened_paths(), std::vector<std::string>{opened_output()});
                EXPECT_EQ(output, Bytes(s.payload.begin(), s.payload.begin() + kept));
                result = "saved the " + std::to_string(output.size()) + " bytes before it, status 0";
            } else if (phases[k] == Phase::Save) {
                DWORD error = plan.short_write ? ERROR_HANDLE_DISK_FULL : FAULT_ERROR;
                EXPECT_EQ(r.out, success + "Could not save torrent!  Error " + std::to_string(error) + "\n" + PROMPT);
                EXPECT_EQ(r.status, 1);
                EXPECT_EQ(output, before);
                EXPECT_EQ(fs::exists(path(OUTPUT)), has_earlier);
                EXPECT_EQ(opened_paths(), std::vector<std::string>{});
                EXPECT_EQ(key_waits(), 1u);
                result = "save failure reported, status 1";
            } else if (r.status == 1) {
                // Only a failure to open or to read the input may end the run early here.
                const bool reading = plan.call == Call::SetFilePointer || plan.call == Call::ReadFile;
                const std::string failure = reading ? "Could not read input file!  Error " : "Could not open input file!  Error ";
                EXPECT_EQ(r.out.rfind(std::string("Extracting from ") + INPUT + "...\n" + failure +
                                          std::to_string(FAULT_ERROR) + "\n", 0), 0u) << r.out;
                EXPECT_EQ(r.out.substr(r.out.size() - std::strlen(PROMPT)), PROMPT);
                EXPECT_EQ(output, before);
                EXPECT_EQ(opened_paths(), std::vector<std::string>{});
                EXPECT_EQ(key_waits(), 1u);
                result = reading ? "read failure reported, status 1" : "open failure reported, status 1";
            } else {
                // A read or positioning that fails is never taken for the file's answer.
                EXPECT_TRUE(plan.empty_read || plan.call == Call::CloseHandle) << r.out;
                EXPECT_EQ(key_waits(), 0u);
                uint32_t offset = 0, length = 0;
                if (!printed_stretch(r.out, &offset, &length)) {
                    EXPECT_EQ(r.out, std::string("Extracting from ") + INPUT + "...\n");
                    EXPECT_EQ(output, before);
                    result = "nothing found, status 0";
                } else {
                    // What was saved is exactly what the run said it saved.
                    size_t from = std::min<size_t>(offset, s.input.size());
                    size_t to = std::min<size_t>(from + length, s.input.size());
                    EXPECT_EQ(output, Bytes(s.input.begin() + from, s.input.begin() + to));
                    EXPECT_EQ(opened_paths(), std::vector<std::string>{opened_output()});
                    // A read that failed while searching must not let another
                    // rule guess: an image that also holds a trailer would
                    // give up its whole appended data as the torrent.
                    EXPECT_EQ(output, s.payload) << "a fault while locating yielded another stretch";
                    result = output == s.payload ? "saved, same payload, status 0"
                                                 : "saved another stretch, the one it printed, status 0";
                }
            }
            if (has_earlier)
                std::printf("fault | %-7s | %-22s | %-6s | %s\n", s.name, what.c_str(),
                            PHASE_NAMES[static_cast<int>(phases[k])], result.c_str());
        }
    }
}

// A rename over the output or an open of the input that fails because
// another program holds the file for a moment is tried again, in growing
// pauses, for SHARING_RETRY_BUDGET_MS; any other failure is final at once.
TEST_F(FaultTest, FilesHeldForAMomentAreTriedAgain) {
    const Bytes earlier = {'e', 'a', 'r', 'l', 'i', 'e', 'r'};
    const Scenario s = scenarios()[1];
    const std::string success = std::string("Extracting from ") + INPUT + "...\n" +
                                located_line(s.offset, s.payload.size()) + "Saving torrent to " + OUTPUT + "...\n";
    const std::string opened = std::string("Extracting from ") + INPUT + "...\n";
    const std::string failed = "Error " + std::to_string(FAULT_ERROR) + "\n";
    const unsigned FOREVER = 1000;
    const unsigned long PAUSE = OPEN_DELAY_MS;
    const struct {
        const char* what;
        FaultPlan plan;
        unsigned long slept_ms;  // the run's pause and the pauses between tries
        std::string out;
    } cases[] = {
        {"the rename, held three times", {Call::MoveFileEx, 1, FAULT_ERROR, false, false, 3, true},
         PAUSE + 10 + 20 + 40, success},
        {"the rename, held past the budget", {Call::MoveFileEx, 1, FAULT_ERROR, false, false, FOREVER, true},
         PAUSE + SHARING_RETRY_BUDGET_MS, success + "Could not save torrent!  " + failed + PROMPT},
        {"the rename, refused for good", {Call::MoveFileEx, 1, FAULT_ERROR, false, false, FOREVER, false}, PAUSE,
         success + "Could not save torrent!  " + failed + PROMPT},
        {"the input, held twice", {Call::CreateFile, 1, FAULT_ERROR, false, false, 2, true}, 10 + 20 + PAUSE, success},
        {"the input, held past the budget", {Call::CreateFile, 1, FAULT_ERROR, false, false, FOREVER, true},
         SHARING_RETRY_BUDGET_MS, opened + "Could not open input file!  " + failed},
    };
    write_file(path(INPUT), s.input);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        write_file(path(OUTPUT), earlier);
        Outcome r = run_in_dir(c.plan);
        EXPECT_EQ(r.out.substr(0, c.out.size()), c.out);
        EXPECT_EQ(slept_ms(), c.slept_ms);
        EXPECT_EQ(read_file(path(OUTPUT)), r.status == 0 ? s.payload : earlier);
        EXPECT_EQ(temporaries_beside(path(OUTPUT)), std::vector<std::string>{}) << "a temporary file was left";
    }
}

}  // namespace
