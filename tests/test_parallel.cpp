// scripts/run_parallel.sh on a sequence split into one-step runs: interrupted after a step, then
// with a step failing on a stand-in remote host, then completed; each run starts only the steps
// that did not finish, and the result files are those of the single run, byte for byte.
#include <gtest/gtest.h>

#include "run_helpers.h"

using namespace testrun;
namespace fs = std::filesystem;

namespace {

void write_text(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::add);
}

// (step, exit status) of the entries of a GNU parallel joblog, in file order.
std::vector<std::pair<int, int>> read_joblog(const std::string& path) {
    std::vector<std::pair<int, int>> out;
    const auto lines = lines_of(slurp(path));
    for (std::size_t k = 1; k < lines.size(); ++k) {
        std::vector<std::string> col;
        std::stringstream ss(lines[k]);
        for (std::string c; std::getline(ss, c, '\t');) col.push_back(c);
        if (col.size() >= 9) out.emplace_back(std::stoi(col[0]), std::stoi(col[6]));
    }
    return out;
}

}  // namespace

// Five time samples of three translated 32 x 32 layers as one run and as four one-step runs.
TEST(RunParallel, InterruptedAndFailedStepsResumeToTheFilesOfTheSingleRun) {
    const std::string single = scratch_dir("par_single"), par = scratch_dir("par_steps");
    const std::string P = fs::canonical(par).string(), steps = P + "/steps/step_000";
    const std::string options = "-nbTimeSample 5 -nbLayers 3 -coarseGrid 2";
    for (const std::string& d : {single, par})
        write_translation_sequence(d, 32, 32, 3, 5, 0.6, -0.3);
    // The stand-in program stops GNU parallel (its parent) at step 2 while the file "interrupt"
    // exists, once parallel has had the time to record step 2 as running; the stand-in ssh runs
    // the command line here, as ssh would remotely.
    write_text(par + "/program", "#!/bin/sh\nif [ -e '" + P +
                                     "/interrupt' ] && [ \"${PWD##*/}\" = step_0002 ]; then\n"
                                     "  sleep 1; kill -TERM $PPID; exec sleep 30\nfi\nexec '" +
                                     program_path() + "' \"$@\"\n");
    write_text(par + "/fakessh",
               "#!/bin/bash\nwhile [ $# -gt 0 ]; do case \"$1\" in -o|-l|-p) shift 2;; -*) shift;; "
               "*) break;; esac; done\nshift\n[ \"${1:-}\" = -- ] && shift\nexec bash -c \"$*\"\n");
    setenv("SHELL", "/bin/true", 1);  // steps run whatever the caller's shell is
    write_text(par + "/interrupt", "");
    const std::string run_parallel = std::string(OF3D_SOURCE_DIR) + "/scripts/run_parallel.sh";
    const std::string common = "--program ./program --splitter '" OF3D_BIN_DIR "/split_sequence' ";
    const std::string joblog = par + "/steps/joblog.txt";

    Result r = run_in(par, run_parallel, common + "-j 1 -- " + options);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(contains_line(r.out, "  step 2 (did not finish): " + steps + "2")) << r.out;
    EXPECT_TRUE(contains_line(r.out, "  step 4 (did not finish): " + steps + "4")) << r.out;
    EXPECT_EQ(read_joblog(joblog), (std::vector<std::pair<int, int>>{{1, 0}}));

    fs::remove(par + "/interrupt");
    fs::rename(par + "/L0_t4.pgm", par + "/L0_t4.away");
    r = run_in(par, run_parallel,
               common + "-j 2 -S 2/nodeA --ssh '" + P + "/fakessh' -- " + options);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    for (const std::string& line :
         {"run_parallel.sh: 3 of 4 time steps done (joblog " + joblog + ")",
          "  step 4 (exit status 1): " + steps + "4", "    " + steps + "4/stderr.log"})
        EXPECT_TRUE(contains_line(r.out, line)) << line << "\n" << r.out;
    auto log = read_joblog(joblog);
    ASSERT_EQ(log.size(), 4u) << slurp(joblog);
    const std::map<int, int> later(log.begin() + 1, log.end()), want{{2, 0}, {3, 0}, {4, 1}};
    EXPECT_EQ(later, want);
    EXPECT_NE(slurp(joblog).find("\tnodeA\t"), std::string::npos);

    fs::rename(par + "/L0_t4.away", par + "/L0_t4.pgm");
    r = run_in(par, run_parallel, common + "-j 2 -- " + options);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(read_joblog(joblog).size(), 5u);
    EXPECT_EQ(read_joblog(joblog).back(), std::make_pair(4, 0));

    ASSERT_EQ(run_in(single, program_path(), options).status, 0);
    const auto expected = outputs_of(single, false);
    EXPECT_EQ(expected.size(), 4u * (2 + 4 + 4));
    EXPECT_TRUE(outputs_of(par, false) == expected);
    EXPECT_FALSE(fs::exists(par + "/temp2D_Lay01.xaf"));
    EXPECT_TRUE(fs::exists(steps + "4/temp2D_Lay01.xaf"));
}
