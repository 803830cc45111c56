// A long sequence split into one-step runs: the step lists written by split_sequence, the
// inputs it rejects, and scripts/run_parallel.sh ending, after an interruption, a failed step
// and steps run through a stand-in for ssh, with the files of the single run, byte for byte.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <thread>

#include "run_helpers.h"

using namespace testrun;
namespace fs = std::filesystem;

namespace {

std::string bin(const char* name) {
    return std::string(OF3D_BIN_DIR) + "/" + name;
}

void write_text(const std::string& path, const std::string& text, bool executable = false) {
    std::ofstream(path, std::ios::binary) << text;
    if (executable) fs::permissions(path, fs::perms::owner_all, fs::perm_options::add);
}

// The image list of the splitter tests: 2 layers x 3 time samples (4 lines per layer), a UTF-8
// byte-order mark, one line ending in CR LF, relative, "./", absolute and ".." paths, and a line
// past the last layer.
const char* const kList =
    "\xEF\xBB\xBFt0.pgm\n./t1.pgm\r\nt1.pgm\n/abs/t2.pgm\n"
    "sub/u0.pgm\nsub/./u1.pgm\n../up/u1.pgm\nsub/u2.pgm\n"
    "ignored.pgm\n";
const char* const kDensities = "0.9\n0.7\n";

struct JobEntry {
    int seq, exitval, signal;
    std::string host;
};

// Entries of a GNU parallel joblog in file order (header skipped).
std::vector<JobEntry> read_joblog(const std::string& path) {
    std::vector<JobEntry> out;
    const auto lines = lines_of(slurp(path));
    for (std::size_t k = 1; k < lines.size(); ++k) {
        std::vector<std::string> col;
        std::stringstream ss(lines[k]);
        std::string c;
        while (std::getline(ss, c, '\t')) col.push_back(c);
        if (col.size() < 9) continue;
        out.push_back({std::stoi(col[0]), std::stoi(col[6]), std::stoi(col[7]), col[1]});
    }
    return out;
}

// Result files of a folder (name -> bytes): the four outputs written next to the t images.
std::map<std::string, std::string> result_files(const std::string& dir) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        for (const char* suffix : {"_3D.xaf", "_3D.motion", "_3D.motionUp", "_3D.motionUpMatlab"})
            if (name.size() > std::strlen(suffix) &&
                name.compare(name.size() - std::strlen(suffix), std::string::npos, suffix) == 0)
                out[name] = slurp(e.path().string());
    }
    return out;
}

}  // namespace

TEST(SplitSequence, StepListsHoldEachLayersPairWithPathsResolvedAgainstTheBase) {
    const std::string dir = scratch_dir("split");
    const std::string D = fs::canonical(dir).string();
    write_text(dir + "/list.txt", kList);
    write_text(dir + "/dens.txt", kDensities);
    fs::copy_file(dir + "/list.txt", dir + "/inImage_3D.txt");
    fs::copy_file(dir + "/dens.txt", dir + "/inDensity.txt");
    const struct {
        const char* args;
        std::string out;                 // folder of the step folders
        std::vector<std::string> steps;  // expected one-step lists
        int layers;
    } cases[] = {
        {"-inImage list.txt -inDensity dens.txt -nbTimeSample 3 -nbLayers 2 -coarseGrid 2 "
         "-outDir out",
         D + "/out",
         {D + "/t0.pgm\n" + D + "/t1.pgm\n" + D + "/sub/u0.pgm\n" + D + "/sub/u1.pgm\n",
          D + "/t1.pgm\n/abs/t2.pgm\n" + D + "/../up/u1.pgm\n" + D + "/sub/u2.pgm\n"},
         2},
        {"-nbTimeSample 3 -nbLayers 2 -inImage list.txt -inDensity dens.txt -outDir o2 "
         "-baseDir /data/./run",
         D + "/o2",
         {"/data/run/t0.pgm\n/data/run/t1.pgm\n/data/run/sub/u0.pgm\n/data/run/sub/u1.pgm\n",
          "/data/run/t1.pgm\n/abs/t2.pgm\n/data/run/../up/u1.pgm\n/data/run/sub/u2.pgm\n"},
         2},
        // Program defaults: ./inImage_3D.txt, ./inDensity.txt, ./steps, and as many layers as
        // time samples; 2 samples take the first 2 lines per layer.
        {"-nbTimeSample 2",
         D + "/steps",
         {D + "/t0.pgm\n" + D + "/t1.pgm\n" + D + "/t1.pgm\n/abs/t2.pgm\n"},
         2},
    };
    for (const auto& c : cases) {
        const Result r = run_in(dir, bin("split_sequence"), c.args);
        ASSERT_EQ(r.status, 0) << c.args << "\n" << r.err;
        std::string steps;
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            const std::string step = c.out + "/step_000" + std::to_string(i + 1);
            steps += step + "\n";
            EXPECT_EQ(slurp(step + "/inImage_3D.txt"), c.steps[i]) << c.args << " step " << i + 1;
            EXPECT_EQ(slurp(step + "/inDensity.txt"), kDensities) << c.args;
        }
        EXPECT_EQ(slurp(c.out + "/steps.txt"), steps) << c.args;
        EXPECT_EQ(slurp(c.out + "/step_args.txt"),
                  "-inImage\n./inImage_3D.txt\n-inDensity\n./inDensity.txt\n-nbTimeSample\n2\n"
                  "-nbLayers\n" +
                      std::to_string(c.layers) + "\n")
            << c.args;
    }
}

TEST(SplitSequence, ListsItCannotSplitEndWithAMessageAndNoSteps) {
    const struct {
        const char* list;  // null: no list file
        bool densities;
        const char* args;
        const char* message;
    } cases[] = {
        {"a\nb\nc\nd\ne\nf\ng\n", true, "", "holds 7 paths; 8 are needed"},
        {"a\nb\n\nd\ne\nf\ng\nh\n", true, "", "line 3 of the image list"},
        {kList, false, "", "cannot open the density file"},
        {nullptr, true, "", "cannot open the image list"},
        {kList, true, "-nbTimeSample 1", "-nbTimeSample must be at least 2"},
    };
    int k = 0;
    for (const auto& c : cases) {
        const std::string dir = scratch_dir("split_bad" + std::to_string(k++));
        if (c.list) write_text(dir + "/list.txt", c.list);
        if (c.densities) write_text(dir + "/dens.txt", kDensities);
        const std::string args = std::string("-inImage list.txt -inDensity dens.txt ") + c.args +
                                 " -nbTimeSample 3 -nbLayers 2 -outDir out";
        const Result r = run_in(dir, bin("split_sequence"), args);
        EXPECT_EQ(r.status, 1) << args;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << args << "\n" << r.err;
        EXPECT_FALSE(fs::exists(dir + "/out/steps.txt")) << args;
    }
}

// Five time samples of three translated 32 x 32 layers, run once as a whole and once as four
// one-step runs: interrupted after the first step, then with the last step failing (one of its
// images missing) on a stand-in remote host, then completed. Each run starts only the steps
// that did not finish, and the result files are those of the single run.
TEST(RunParallel, InterruptedAndFailedStepsResumeToTheFilesOfTheSingleRun) {
    const std::string single = scratch_dir("par_single"), par = scratch_dir("par_steps");
    const std::string P = fs::canonical(par).string();
    const std::string options = "-nbTimeSample 5 -nbLayers 3 -coarseGrid 2";
    for (const std::string& d : {single, par})
        write_translation_sequence(d, 32, 32, 3, 5, 0.6, -0.3);
    // The stand-in program stops GNU parallel (its parent) from step 2 on while the file
    // "interrupt" exists, once parallel has had the time to record step 2 as running; the stand-in
    // ssh runs the command line here, as ssh would remotely. Both are written before the single
    // run starts: a child forked meanwhile would hold them open for writing, so they could not run.
    write_text(par + "/program",
               "#!/bin/sh\nif [ -e '" + P +
                   "/interrupt' ] && [ \"${PWD##*/}\" = step_0002 ]; then\n"
                   "  sleep 1; kill -TERM $PPID; exec sleep 30\nfi\nexec '" +
                   program_path() + "' \"$@\"\n",
               true);
    write_text(par + "/fakessh",
               "#!/bin/bash\nwhile [ $# -gt 0 ]; do case \"$1\" in -o|-l|-p) shift 2;; -*) shift;; "
               "*) break;; esac; done\nshift\n[ \"${1:-}\" = -- ] && shift\nexec bash -c \"$*\"\n",
               true);
    // Steps must run whatever the caller's $SHELL is: here one that runs nothing and succeeds.
    // (Set before the thread starts: the environment is not to change under a running thread.)
    struct ShellOverride {
        std::string saved;
        bool had = false;
        ShellOverride() {
            if (const char* s = std::getenv("SHELL")) had = true, saved = s;
            setenv("SHELL", "/bin/true", 1);
        }
        ~ShellOverride() { had ? setenv("SHELL", saved.c_str(), 1) : unsetenv("SHELL"); }
    } shell_override;
    Result one;
    std::thread single_run([&] { one = run_in(single, program_path(), options); });
    struct Joiner {
        std::thread& t;
        ~Joiner() {
            if (t.joinable()) t.join();
        }
    } joiner{single_run};

    write_text(par + "/interrupt", "");
    const std::string run_parallel = std::string(OF3D_SOURCE_DIR) + "/scripts/run_parallel.sh";
    const std::string common = "--program ./program --splitter '" + bin("split_sequence") + "' ";
    const std::string joblog = par + "/steps/joblog.txt";
    const std::string step4 = P + "/steps/step_0004";

    Result r = run_in(par, run_parallel, common + "-j 1 -- " + options);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(contains_line(r.out, "  step 2 (did not finish): " + P + "/steps/step_0002"))
        << r.out;
    EXPECT_TRUE(contains_line(r.out, "  step 4 (did not finish): " + step4)) << r.out;
    auto log = read_joblog(joblog);
    ASSERT_EQ(log.size(), 1u) << slurp(joblog);
    EXPECT_EQ(log[0].seq, 1);
    EXPECT_EQ(log[0].exitval, 0);

    fs::remove(par + "/interrupt");
    fs::rename(par + "/L0_t4.pgm", par + "/L0_t4.away");
    r = run_in(par, run_parallel,
               common + "-j 2 -S 2/nodeA --ssh '" + P + "/fakessh' -- " + options);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(contains_line(
        r.out, "run_parallel.sh: 3 of 4 time steps done (joblog " + P + "/steps/joblog.txt)"))
        << r.out;
    EXPECT_TRUE(contains_line(r.out, "  step 4 (exit status 1): " + step4)) << r.out;
    EXPECT_TRUE(contains_line(r.out, "    " + step4 + "/stdout.log")) << r.out;
    EXPECT_TRUE(contains_line(r.out, "    " + step4 + "/stderr.log")) << r.out;
    log = read_joblog(joblog);
    ASSERT_EQ(log.size(), 4u) << slurp(joblog);
    std::map<int, int> status_of;
    for (std::size_t k = 1; k < log.size(); ++k) {
        status_of[log[k].seq] = log[k].exitval;
        EXPECT_EQ(log[k].host, "nodeA");
    }
    EXPECT_EQ(status_of, (std::map<int, int>{{2, 0}, {3, 0}, {4, 1}}));

    fs::rename(par + "/L0_t4.away", par + "/L0_t4.pgm");
    r = run_in(par, run_parallel, common + "-j 2 -- " + options);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(contains_line(
        r.out, "run_parallel.sh: 4 of 4 time steps done (joblog " + P + "/steps/joblog.txt)"))
        << r.out;
    log = read_joblog(joblog);
    ASSERT_EQ(log.size(), 5u) << slurp(joblog);
    EXPECT_EQ(log[4].seq, 4);
    EXPECT_EQ(log[4].exitval, 0);

    single_run.join();
    ASSERT_EQ(one.status, 0) << one.out << one.err;
    const auto expected = result_files(single), got = result_files(par);
    EXPECT_EQ(expected.size(), 4u * (2 + 4 + 4));
    std::set<std::string> names_expected, names_got;
    for (const auto& [name, bytes] : expected) names_expected.insert(name);
    for (const auto& [name, bytes] : got) names_got.insert(name);
    EXPECT_EQ(names_got, names_expected);
    for (const auto& [name, bytes] : expected) {
        const auto it = got.find(name);
        if (it != got.end()) {
            EXPECT_TRUE(it->second == bytes) << name;
        }
    }
    EXPECT_FALSE(fs::exists(par + "/temp2D_Lay01.xaf"));
    EXPECT_TRUE(fs::exists(step4 + "/temp2D_Lay01.xaf"));
    EXPECT_EQ(lines_of(slurp(step4 + "/stdout.log")).back().rfind("Processing time duration", 0),
              0u);
}

// The joblog is trusted only for the steps and options it was written for: the same command
// runs nothing again, other options or a longer sequence run every step, and so does --fresh.
TEST(RunParallel, ChangedOptionsOrStepsRunEveryStepAgain) {
    const std::string dir = scratch_dir("par_fingerprint");
    std::string list;
    for (int l = 0; l < 2; ++l)
        for (int t = 0; t < 6; ++t)
            list += "L" + std::to_string(l) + "_" + std::to_string(t) + "\n";
    write_text(dir + "/list.txt", list);
    write_text(dir + "/dens.txt", kDensities);
    // Each step run appends its arguments to "runs" in its step folder.
    write_text(dir + "/program", "#!/bin/sh\necho \"$*\" >>runs\n", true);
    const std::string run_parallel = std::string(OF3D_SOURCE_DIR) + "/scripts/run_parallel.sh";
    const std::string common = "--program ./program --splitter '" + bin("split_sequence") +
                               "' -j 2 -- -inImage list.txt -inDensity dens.txt -nbLayers 2 ";
    auto runs_of_step = [&](int i) {
        return lines_of(slurp(dir + "/steps/step_000" + std::to_string(i) + "/runs")).size();
    };
    const struct {
        std::string args;
        std::vector<std::size_t> runs;  // runs of steps 1, 2, 3 so far
        bool notice;                    // the joblog was set aside
    } cases[] = {
        {"-nbTimeSample 3", {1, 1, 0}, false},
        {"-nbTimeSample 3", {1, 1, 0}, false},
        {"-nbTimeSample 3 -alpha 10", {2, 2, 0}, true},
        {"-nbTimeSample 4 -alpha 10", {3, 3, 1}, true},
        {"-nbTimeSample 4 -alpha 10", {3, 3, 1}, false},
        {"--fresh -nbTimeSample 4 -alpha 10", {4, 4, 2}, false},
    };
    for (const auto& c : cases) {
        std::string args = c.args, pre;
        if (args.rfind("--fresh ", 0) == 0) pre = "--fresh ", args = args.substr(8);
        const Result r = run_in(dir, run_parallel, pre + common + args);
        EXPECT_EQ(r.status, 0) << c.args << "\n" << r.out << r.err;
        EXPECT_EQ(r.out.find("running every step") != std::string::npos, c.notice) << c.args;
        for (int i = 1; i <= 3; ++i)
            EXPECT_EQ(runs_of_step(i), c.runs[i - 1]) << c.args << " step " << i;
    }
    EXPECT_EQ(lines_of(slurp(dir + "/steps/step_0001/runs"))[0],
              "-inImage ./inImage_3D.txt -inDensity ./inDensity.txt -nbTimeSample 2 -nbLayers 2 "
              "-inImage list.txt -inDensity dens.txt -nbLayers 2 -nbTimeSample 3 -threads 1");
}
