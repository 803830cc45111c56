// Bad input and interrupted runs: every result file is complete or absent (a kill mid-write, a
// write failure), files from other systems (Windows line ends, big-endian samples, oversized
// headers, odd paths) are read or rejected naming the file, and the checks made before the
// buffers of a run are allocated (working size, memory, densities) name the setting at fault.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>

#include "fail.h"
#include "image_list.h"
#include "io_field.h"
#include "operations_images.h"
#include "optic_flow_3DMultilayers.h"
#include "run_checks.h"
#include "run_helpers.h"

using namespace testrun;
namespace fs = std::filesystem;
using cimg_library::CImg;

namespace {

// The program started in `dir` with its standard output and error on one pipe, optionally under
// a file-size limit (SIGXFSZ ignored, so that a write beyond it fails with EFBIG).
struct Child {
    pid_t pid = -1;
    int out = -1;
    std::string text;
};

Child start(const std::string& dir, const std::vector<std::string>& args, rlim_t fsize = 0) {
    int fds[2];
    if (pipe(fds) != 0) std::abort();
    Child c;
    c.pid = fork();
    if (c.pid == 0) {
        if (chdir(dir.c_str()) != 0) _exit(126);
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        close(fds[0]);
        if (fsize) {
            signal(SIGXFSZ, SIG_IGN);
            const rlimit lim{fsize, fsize};
            setrlimit(RLIMIT_FSIZE, &lim);
        }
        std::vector<char*> argv{const_cast<char*>("optic_flow_3DMultilayers")};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program_path().c_str(), argv.data());
        _exit(127);
    }
    close(fds[1]);
    c.out = fds[0];
    return c;
}

// Reads the rest of the output and returns the exit status, or -signal.
int finish(Child& c) {
    char buf[4096];
    ssize_t n;
    while ((n = read(c.out, buf, sizeof buf)) > 0) c.text.append(buf, static_cast<std::size_t>(n));
    close(c.out);
    int raw = 0;
    waitpid(c.pid, &raw, 0);
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -WTERMSIG(raw);
}

// Runs the program on `dir`, killing it with SIGKILL as soon as a file whose name contains
// `trigger` is created or renamed into the folder. Returns the exit status (-9 when killed).
int run_and_kill(const std::string& dir, const std::vector<std::string>& args,
                 const std::string& trigger) {
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    inotify_add_watch(watch, dir.c_str(), IN_CREATE | IN_MOVED_TO);
    Child c = start(dir, args);
    for (bool open = true; open;) {
        pollfd fds[2] = {{watch, POLLIN, 0}, {c.out, POLLIN, 0}};
        if (poll(fds, 2, 120000) <= 0) break;
        if (fds[0].revents & POLLIN) {
            alignas(inotify_event) char buf[8192];
            const ssize_t n = read(watch, buf, sizeof buf);
            for (ssize_t k = 0; k < n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buf + k);
                if (e->len && std::strstr(e->name, trigger.c_str())) kill(c.pid, SIGKILL);
                k += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            }
        }
        if (fds[1].revents & (POLLIN | POLLHUP)) {
            char buf[4096];
            const ssize_t n = read(c.out, buf, sizeof buf);
            if (n <= 0) open = false;
            if (n > 0) c.text.append(buf, static_cast<std::size_t>(n));
        }
    }
    close(watch);
    return finish(c);
}

// Empty when the result file is complete for an nc x nl field, otherwise its bytes and lines.
std::string incompleteness(const fs::path& path, std::size_t nc, std::size_t nl) {
    const std::string s = slurp(path.string()), ext = path.extension().string();
    const std::size_t n = nc * nl, lines = std::count(s.begin(), s.end(), '\n');
    const bool whole = ext == ".xaf"        ? s.size() == 4 + 4 * n
                       : ext == ".motionUp" ? s.size() == 4 * n
                                            : !s.empty() && s.back() == '\n' &&
                                                  lines == (ext == ".motion" ? n + 2 : nl);
    return whole ? "" : std::to_string(s.size()) + " bytes, " + std::to_string(lines) + " lines";
}

// Result files of the folder (the inputs, the captured output and the temporaries left aside);
// only a hidden ".<name>.<pid>.part" may remain of a write that did not finish.
std::vector<std::string> results_in(const std::string& dir) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        const bool input = name.size() > 4 && name.compare(name.size() - 4, 4, ".pgm") == 0;
        if (input || name == "inImage_3D.txt" || name == "inDensity.txt") continue;
        if (name == ".stdout" || name == ".stderr") continue;  // captured by run_in
        if (name[0] == '.') {
            EXPECT_EQ(name.compare(name.size() - 5, 5, ".part"), 0) << name;
            continue;
        }
        out.push_back(e.path().string());
    }
    return out;
}

std::size_t part_files_in(const std::string& dir) {
    return std::count_if(fs::directory_iterator(dir), fs::directory_iterator(),
                         [](const auto& e) { return e.path().extension() == ".part"; });
}

[[noreturn]] void throw_message(const char* message) {
    throw std::string(message);
}

}  // namespace

// ---- Complete outputs ------------------------------------------------------------------------

TEST(CompleteOutputs, ARunKilledMidWriteLeavesNoTruncatedResult) {
    const struct {
        int size, layers, samples;
        std::vector<std::string> args;
        const char* trigger;  // the kill comes when a file with this in its name is created
        const char* written;  // a result complete before the kill; empty: none
    } cases[] = {
        // Default settings, killed while the first file of the loop is being written.
        {64, 3, 3, {}, "", ""},
        // Killed while the first field table is being written.
        {16, 2, 2, {"-nbTimeSample", "2", "-coarseGrid", "2"}, "_3D.motion", "L0_t0.pgm_3D.xaf"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        const std::string dir = scratch_dir("killed_" + std::to_string(c.size));
        write_translation_sequence(dir, c.size, c.size, c.layers, c.samples, 0.5, 0.25);
        EXPECT_EQ(run_and_kill(dir, c.args, c.trigger), -SIGKILL);
        for (const auto& f : results_in(dir)) EXPECT_EQ(incompleteness(f, c.size, c.size), "") << f;
        if (*c.written) {
            EXPECT_TRUE(fs::exists(dir + "/" + c.written));
        }
    }
}

TEST(CompleteOutputs, AWriteFailureEndsTheRunNamingTheFileAndKeepsThePreviousResult) {
    const std::string dir = scratch_dir("fsize");
    write_translation_sequence(dir, 16, 16, 1, 2, 0.5, 0.25);
    std::ofstream(dir + "/L0_t0.pgm_3D.motion") << "previous\n";
    // 2048 bytes: the 1028-byte motion-field files fit, the field table does not.
    Child c = start(dir, {"-nbTimeSample", "2", "-nbLayers", "1", "-coarseGrid", "2"}, 2048);
    EXPECT_EQ(finish(c), 1);
    EXPECT_NE(c.text.find("'./L0_t0.pgm_3D.motion': File too large"), std::string::npos) << c.text;
    EXPECT_EQ(slurp(dir + "/L0_t0.pgm_3D.motion"), "previous\n");
    EXPECT_EQ(incompleteness(dir + "/L0_t0.pgm_3D.xaf", 16, 16), "");
    EXPECT_EQ(part_files_in(dir), 0u);
}

// Each writer in a child limited to 100 bytes per file: the run ends (status 1, or code 3 for
// the codec) naming the file, the previous file stays whole and no temporary remains.
TEST(CompleteOutputs, EveryWriterKeepsThePreviousFileWhenAWriteFails) {
    const std::string dir = scratch_dir("writers");
    const int nc = 20, nl = 10;
    std::vector<float> u(nc * nl, 1.5f), v(nc * nl, -0.5f);
    const CImg<float> im(nc, nl, 2, 1, 0.25f);
    const struct {
        const char* name;
        std::function<void(const char*)> write;
        int status;
    } writers[] = {
        {"f.xaf",
         [&](const char* p) {
             short err = 0;
             write_field(p, u.data(), v.data(), nc, nl, &err);
             std::exit(err);
         },
         3},
        {"m.xaf", [&](const char* p) { write_XAmotionH(p, im); }, 1},
        {"f.motion", [&](const char* p) { write_champ(u.data(), v.data(), nc, nl, p); }, 1},
        {"w.motionUp", [&](const char* p) { write_rawF(im, p); }, 1},
        {"w.motionUpMatlab", [&](const char* p) { Cree_fichier_image(p, im); }, 1},
    };
    for (const auto& w : writers) {
        SCOPED_TRACE(w.name);
        const std::string path = dir + "/" + w.name, log = dir + "/log";
        std::ofstream(path) << "previous\n";
        const pid_t pid = fork();
        if (pid == 0) {
            const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 1);
            dup2(fd, 2);
            signal(SIGXFSZ, SIG_IGN);
            const rlimit lim{100, 100};
            setrlimit(RLIMIT_FSIZE, &lim);
            w.write(path.c_str());
            std::exit(0);
        }
        int raw = 0;
        waitpid(pid, &raw, 0);
        EXPECT_TRUE(WIFEXITED(raw));
        EXPECT_EQ(WEXITSTATUS(raw), w.status);
        if (w.status == 1) {
            EXPECT_NE(slurp(log).find(path), std::string::npos) << slurp(log);
        }
        EXPECT_EQ(slurp(path), "previous\n");
        EXPECT_EQ(part_files_in(dir), 0u);
    }
}

// A complete write replaces a regular file (keeping its permissions) and the target of a
// symbolic link (keeping the link); a device is written in place, never replaced.
TEST(CompleteOutputs, ReplacementKeepsPermissionsLinksAndDevices) {
    const std::string dir = scratch_dir("replace");
    float u[2] = {0.25f, 1.0f}, v[2] = {-1.5f, 0.0f};
    const std::string table =
        "2 1\n#i\tj\tU\tV\n0\t0\t0.250000\t-1.500000\n0\t1\t1.000000\t0.000000\n";

    std::ofstream(dir + "/plain.motion") << "old";
    chmod((dir + "/plain.motion").c_str(), 0640);
    write_champ(u, v, 2, 1, (dir + "/plain.motion").c_str());
    EXPECT_EQ(slurp(dir + "/plain.motion"), table);
    EXPECT_EQ(fs::status(dir + "/plain.motion").permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

    std::ofstream(dir + "/target.motion") << "old";
    fs::create_symlink("target.motion", dir + "/link.motion");
    write_champ(u, v, 2, 1, (dir + "/link.motion").c_str());
    EXPECT_TRUE(fs::is_symlink(dir + "/link.motion"));
    EXPECT_EQ(slurp(dir + "/target.motion"), table);

    write_champ(u, v, 2, 1, "/dev/null");
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
    EXPECT_EQ(part_files_in(dir), 0u);
}

// ---- Files from other systems --------------------------------------------------------------

TEST(ForeignInputs, WindowsLineEndsGiveTheSameResultsAsUnixOnes) {
    std::string results[2];
    for (int crlf = 0; crlf < 2; ++crlf) {
        const std::string dir = scratch_dir("crlf" + std::to_string(crlf));
        write_translation_sequence(dir, 16, 16, 1, 2, 0.5, 0.25);
        if (crlf) {
            std::ofstream(dir + "/inImage_3D.txt") << "./L0_t0.pgm\r\n./L0_t1.pgm\r\n";
            std::ofstream(dir + "/inDensity.txt") << "1\r\n";
        }
        const Result r = run_in(dir, program_path(), "-nbTimeSample 2 -nbLayers 1 -coarseGrid 2");
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        results[crlf] = slurp(dir + "/L0_t0.pgm_3D.xaf");
    }
    EXPECT_EQ(results[0].size(), 4u + 4 * 16 * 16);
    EXPECT_EQ(results[1], results[0]);
}

TEST(ForeignInputs, UnreadableImagesEndTheRunAtOnceNamingTheFile) {
    const std::string long_name = "./" + std::string(300, 'x') + "/" + std::string(5000, 'y');
    const struct {
        const char* what;
        std::string first_image;  // written as ./L0_t0.pgm; empty: the list names `path`
        std::string path;
        std::vector<std::string> expected;
    } cases[] = {
        {"big-endian samples",
         std::string("P5\n2 1\n1023\n\x03\xFF\x00\x07", 16),
         "",
         {"'./L0_t0.pgm': sample 65283 above 1023", "low byte first", "build/bin/to_pgm10"}},
        {"size far beyond the file",
         "P5\n30000 30000\n1023\n" + std::string(8, '\x01'),
         "",
         {"'./L0_t0.pgm' is shorter than its header announces (30000 x 30000"}},
        {"blanks in the name",
         "",
         "./no such image .pgm",
         {"Unknown file name: ./no such image .pgm\n"}},
        {"name too long", "", long_name, {"Unknown file name: " + long_name + "\n"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string dir = scratch_dir("foreign");
        write_translation_sequence(dir, 16, 16, 1, 2, 0, 0);
        if (!c.first_image.empty()) {
            std::ofstream(dir + "/L0_t0.pgm", std::ios::binary) << c.first_image;
        } else {
            std::ofstream(dir + "/inImage_3D.txt") << c.path << "\n" << c.path << "\n";
        }
        const Result r = run_in(dir, program_path(), "-nbTimeSample 2 -nbLayers 1 -coarseGrid 2");
        EXPECT_EQ(r.status, 1);
        for (const auto& e : c.expected)
            EXPECT_NE((r.out + r.err).find(e), std::string::npos) << r.out << r.err;
        EXPECT_TRUE(results_in(dir).empty());
    }
}

// ---- Checks before the buffers of a run are allocated ----------------------------------------

TEST(RunChecksDeathTest, WorkingSizeBeyond16BitCountsNamesTheOptionAndTheLargestValue) {
    const struct {
        short nc, nl, resol, scale;
        const char* regex;  // empty: accepted
    } cases[] = {
        {30000, 100, 0, 12, "-coarseGrid 12 .* 30000 x 100 .*largest value that fits is 11"},
        {32767, 2, 1, 0,
         "-coarseResol 1 .* even with -coarseGrid 0; the largest value that fits is 0"},
        {32600, 100, 3, 5, "-coarseGrid 5 .*largest value that fits is 4"},
        {32767, 32767, 0, 0, ""},
        {1000, 1000, 3, 11, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.nc << " x " << c.nl << " " << c.resol << " " << c.scale);
        if (*c.regex) {
            EXPECT_EXIT(
                {
                    dup2(2, 1);
                    check_working_size(c.nc, c.nl, c.resol, c.scale);
                },
                testing::ExitedWithCode(1), c.regex);
        } else {
            check_working_size(c.nc, c.nl, c.resol, c.scale);
        }
    }
}

// The estimate of a 128 x 128 one-layer run against its measured peak, less the resident size
// of a run that stops before allocating (the program and its libraries).
TEST(RunChecks, MemoryEstimateMatchesThePeakOfARealRun) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's own memory hides the run's";
#endif
    const std::string dir = scratch_dir("memory");
    write_translation_sequence(dir, 128, 128, 1, 2, 0.5, 0.25);
    auto peak_kb = [&](const std::vector<std::string>& args) {
        Child c = start(dir, args);
        char buf[4096];
        while (read(c.out, buf, sizeof buf) > 0) {
        }
        int raw = 0;
        rusage use{};
        wait4(c.pid, &raw, 0, &use);
        close(c.out);
        return static_cast<double>(use.ru_maxrss);
    };
    const double base = peak_kb({"-nbTimeSample", "1"});
    const double run = peak_kb({"-nbTimeSample", "2", "-nbLayers", "1", "-coarseGrid", "2"});
    const double estimate = run_memory_estimate(128, 128, 128, 128, 1, 0) / 1024.0;
    EXPECT_NEAR(run - base, estimate, 0.2 * estimate) << run << " " << base;
}

TEST(RunChecksDeathTest, ARunThatDoesNotFitInMemoryIsRefusedWithTheLargestGridThatFits) {
    // Exactly the memory of a 64 x 64 working size: -coarseGrid 6 keeps it, 7 doubles each side.
    const std::uint64_t for_64 = run_memory_estimate(64, 64, 64, 64, 3, 0);
    check_run_memory(64, 64, 3, 0, 6, for_64);
    EXPECT_EXIT(
        {
            dup2(2, 1);
            check_run_memory(64, 64, 3, 0, 14, for_64);
        },
        testing::ExitedWithCode(1),
        "needs about 265.0 GiB of memory \\(working size 16384 x 16384, 3 layers, 1 pyramid "
        "levels\\) but only about [0-9]+ MiB are available; the largest -coarseGrid that fits is "
        "6");
    EXPECT_EXIT(
        {
            dup2(2, 1);
            check_run_memory(1000, 1000, 3, 1, 5, 1 << 20);
        },
        testing::ExitedWithCode(1), "use fewer layers \\(-nbLayers\\) or a crop window");
}

// The list of 1 layer x 3 time samples needs 4 paths; what follows them is never read.
TEST(ImageList, LineEndsByteOrderMarkEmptyLinesAndCounts) {
    const std::string dir = scratch_dir("image_list");
    const std::vector<std::string> abcd = {"./a b.pgm", "b", "c", "d"};
    const struct {
        const char* text;  // null: no list file
        std::vector<std::string> paths;
        const char* problem;  // empty: read
    } cases[] = {
        {"./a b.pgm\nb\nc\nd\n", abcd, ""},
        {"./a b.pgm\r\nb\r\nc\r\nd", abcd, ""},
        {"\xEF\xBB\xBF./a b.pgm\r\nb\nc\r\r\nd\n\n\nnot a path", abcd, ""},
        {"a\n\xEF\xBB\xBF"
         "b\nc\nd\n",
         {"a",
          "\xEF\xBB\xBF"
          "b",
          "c", "d"},
         ""},
        {"a\nb\n\r\nd\n", {}, "line 3 of the image list 'L' is empty; it must hold an image path"},
        {"\xEF\xBB\xBF\n", {}, "line 1 of the image list 'L' is empty"},
        {"a\nb\nc",
         {},
         "the image list 'L' holds 3 paths; 4 are needed (2 x (3 time samples - 1) x "
         "1 layers)"},
        {"", {}, "the image list 'L' holds 0 paths; 4 are needed"},
        {nullptr, {}, "cannot open the image list 'L'"},
    };
    int k = 0;
    for (const auto& c : cases) {
        const std::string path = dir + "/list" + std::to_string(k++) + ".txt";
        if (c.text) std::ofstream(path, std::ios::binary) << c.text;
        const ImageList list = read_image_list(path, 3, 1);
        std::string problem = list.problem;
        if (problem.find(path) != std::string::npos)
            problem.replace(problem.find(path), path.size(), "L");
        if (*c.problem)
            EXPECT_EQ(problem.rfind(c.problem, 0), 0u) << path << ": " << problem;
        else
            EXPECT_EQ(list.paths, c.paths) << path << ": " << problem;
    }
}

// Densities: one blank-separated decimal number per layer, read the way fscanf("%f") reads it.
TEST(RunChecksDeathTest, DensitiesAreDecimalNumbersFinitePositiveAndOnePerLayer) {
    const struct {
        std::string text;
        std::vector<float> values;  // the accepted values, all layers
        const char* regex;          // empty: accepted
    } cases[] = {
        {"1.0\r\n0.8\r\n", {1.0f, 0.8f}, ""},
        {"\xEF\xBB\xBF"
         "1.5 2e-1",
         {1.5f, 0.2f},
         ""},
        {"1.0\n", {}, "the density file 'd.txt' holds 1 numbers; 2 layers need one each"},
        {"abc\n1\n", {}, "entry 1 of the density file 'd.txt' is 'abc', not a number\n"},
        {"1.0\n0,8\n",
         {},
         "entry 2 .* is '0,8', not a number \\(the decimal separator is a point\\)"},
        {"1.0 0.8x", {}, "entry 2 .* is '0.8x', not a number"},
        {"1\nnan\n", {}, "density nan of layer 1 in 'd.txt' is not a finite positive number"},
        {"1e40 1", {}, "density 1e40 of layer 0 .* not a finite positive number"},
        {"-2 1", {}, "density -2 of layer 0"},
        {"0 1", {}, "density 0 of layer 0"},
        {std::string("\xFF\xFE"
                     "1\0.\0"
                     "5\0",
                     8),
         {},
         "'d.txt' is UTF-16 text"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::FILE* f = fmemopen(const_cast<char*>(c.text.data()), c.text.size(), "r");
        if (*c.regex == '\0') {
            for (int l = 0; l < 2; ++l) EXPECT_EQ(read_density(f, "d.txt", l, 2), c.values[l]);
        } else {
            EXPECT_EXIT(
                {
                    dup2(2, 1);
                    for (int l = 0; l < 2; ++l) read_density(f, "d.txt", l, 2);
                    std::exit(0);
                },
                testing::ExitedWithCode(1), c.regex);
        }
        std::fclose(f);
    }
}

// ---- Rejections handed to a handler ----------------------------------------------------------

// With a handler the readers hand over their message instead of printing it and ending the
// process, and every reader ends the same way: header errors, the "resolution problem", a
// missing file.
TEST(FailHandler, ReaderRejectionsReachTheHandlerInsteadOfEndingTheProcess) {
    const std::string dir = scratch_dir("handler");
    const struct {
        const char* name;
        std::string bytes;
        const char* message;
    } cases[] = {
        {"magic.pgm", "P6\n1 1\n255\n\x01", "not a binary greymap"},
        {"max.pgm", "P5\n1 1\n4095\n\x01\x01",
         "max.pgm resolution problem def=4095 (255 ou 1023)!"},
        {"absent.pgm", "", "Unknown file name"},
    };
    const FailHandler previous = set_fail_handler(throw_message);
    testing::internal::CaptureStdout();
    for (const auto& c : cases) {
        const std::string path = dir + "/" + c.name;
        if (!c.bytes.empty()) std::ofstream(path, std::ios::binary) << c.bytes;
        short image[4], nc = 0, nl = 0;
        try {
            read_pgm(path.c_str(), image, &nc, &nl);
            ADD_FAILURE() << c.name << " was accepted";
        } catch (const std::string& message) {
            EXPECT_NE(message.find(c.message), std::string::npos) << c.name << ": " << message;
        }
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    set_fail_handler(previous);
}
