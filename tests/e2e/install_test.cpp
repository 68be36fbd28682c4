// The installed player as a user meets it: staged with DESTDIR, started by
// its launcher with a fresh home from a folder that has nothing to do with
// it, as the menu entry starts it and with a folder of songs.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/e2e/fixture.h"
#include "tests/e2e/session_bus.h"

namespace fs = std::filesystem;

namespace {

const std::vector<std::string> SAMPLE_SONGS = {"morning_drum.mp3", "night_bus.mp3", "paper_kites.mp3",
                                               "slow_river.mp3"};

// Every path under a folder with its size and time of change, to see that a
// run wrote nothing there.
std::map<std::string, std::string> snapshot(const std::string& folder)
{
    std::map<std::string, std::string> seen;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        struct stat info = {};
        lstat(entry.path().c_str(), &info);
        seen[entry.path().string()] = std::to_string(info.st_size) + " " + std::to_string(info.st_mtim.tv_sec) + "." +
                                      std::to_string(info.st_mtim.tv_nsec);
    }
    return seen;
}

// The value of a key in a desktop entry.
std::string desktop_value(const std::string& file, const std::string& key)
{
    std::istringstream in(read_file(file));
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, key.size() + 1, key + "=") == 0) {
            return line.substr(key.size() + 1);
        }
    }
    return "";
}

// The processes left as this program's children beside the ones given. As a
// subreaper it inherits whatever a run started and left behind (a bus
// daemon that libdbus autolaunched) once that thing's own parent ends.
std::vector<pid_t> children_besides(const std::vector<pid_t>& known)
{
    std::vector<pid_t> found;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::string stat = read_file(entry.path() / "stat");
        // The name in parentheses may hold anything; the parent follows
        // the last parenthesis and the state.
        size_t name_end = stat.rfind(')');
        if (name_end == std::string::npos) {
            continue;
        }
        std::istringstream rest(stat.substr(name_end + 1));
        std::string state;
        pid_t parent = 0;
        rest >> state >> parent;
        pid_t pid = std::atoi(entry.path().filename().c_str());
        if (parent != getpid() || std::find(known.begin(), known.end(), pid) != known.end()) {
            continue;
        }
        // One that has ended (the launcher's clearer of old folders) is
        // only reaped.
        if (state == "Z") {
            waitpid(pid, nullptr, 0);
        } else {
            found.push_back(pid);
        }
    }
    return found;
}

} // namespace

class InstalledPlayer : public WholePlayer {
  protected:
    std::string home;      // a fresh one for each test
    std::string elsewhere; // where the user happens to be
    std::string work;      // the launcher's per-user folder
    std::string state;     // where the players' list and choice files go
    Player other;          // a second start, where a test makes one
    SessionBus stopped;    // a bus that does not answer, where a test makes one
    std::string immutable; // a file a test made immutable, made mutable again at the end
    std::string in_memory; // a home in memory, where a test makes one

    void SetUp() override
    {
        WholePlayer::SetUp();
        // Spaces and letters beyond ASCII, as real names have.
        home = dir + "/my hömé";
        elsewhere = dir + "/elsewhere";
        work = home + "/.local/share/klamor";
        state = home + "/.local/state/klamor";
        fs::create_directories(home);
        fs::create_directories(elsewhere);
    }

    void TearDown() override
    {
        kill_player(&other);
        stop_session_bus(&stopped);
        if (!immutable.empty()) {
            set_immutable(immutable, false);
        }
        if (!in_memory.empty()) {
            std::error_code ignored;
            fs::remove_all(in_memory, ignored);
        }
        WholePlayer::TearDown();
    }

    // Installs the build under stage with the prefix given, and returns the
    // staged launcher.
    std::string stage(const std::string& stage, const std::string& prefix)
    {
        std::string command = "DESTDIR='" + stage + "' '" KLAMOR_CMAKE "' --install '" KLAMOR_BUILD_DIR "' --prefix '" +
                              prefix + "' >/dev/null";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        return stage + prefix + "/bin/klamor";
    }

    // What the launcher may rely on: HOME alone, next to what the player
    // needs from SDL and the test.
    std::vector<std::string> environment() const
    {
        std::vector<std::string> env = player_settings(x);
        env.push_back("HOME=" + home);
        return env;
    }

    void start(const std::vector<std::string>& argv, const std::vector<std::string>& env, Player* run = nullptr)
    {
        run = run != nullptr ? run : &player;
        // Each run's output files in a folder of its own.
        std::string output = dir + "/output " + std::to_string(run == &player);
        fs::create_directories(output);
        start_program(run, output, elsewhere, argv, env);
    }

    // Where a running player works: the folder the launcher made for it.
    static std::string working_folder(const Player& run)
    {
        return fs::read_symlink("/proc/" + std::to_string(run.pid) + "/cwd").string();
    }

    Window wait_until_ready()
    {
        Window window = wait_for_window(x, player);
        if (window != 0) {
            temp_dir = working_folder(player) + "/temp";
            focus_window(x.display, window);
            expect_hover_still_redraws();
        }
        return window;
    }

    // Opens the browser and waits for its list to hold these names.
    void expect_listed(const std::vector<std::string>& names)
    {
        click_on(OPEN_SPOT);
        WindowLook look;
        EXPECT_TRUE(wait_for_width(x, player, BROWSER_VIEW_WIDTH, &look));
        EXPECT_TRUE(wait_until([&] {
            std::vector<std::string> lines = list_lines();
            return std::all_of(names.begin(), names.end(), [&](const std::string& name) {
                return std::find(lines.begin(), lines.end(), name) != lines.end();
            });
        })) << read_file(temp_dir + "/temporaire.txt");
    }

    // What chattr +i and -i do; false where the file system or the user's
    // rights do not allow it.
    static bool set_immutable(const std::string& path, bool on)
    {
        int fd = open(path.c_str(), O_RDONLY);
        int flags = 0;
        bool done = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
        done = done && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        if (fd >= 0) {
            close(fd);
        }
        return done;
    }

    // The folders a player that ended leaves: its working folder and its
    // state folder.
    std::string make_ended(const std::string& id)
    {
        fs::create_directories(state + "/" + id);
        fs::create_directories(work + "/run/" + id);
        return work + "/run/" + id;
    }

    std::string music_link() const { return fs::read_symlink(work + "/music").string(); }
};

TEST_F(InstalledPlayer, MenuEntryStartsOnTheSampleSongsAndWritesOnlyItsOwnFolders)
{
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    std::string staged = dir + "/stäged tree";
    std::string launcher = stage(staged, "/usr");
    std::string desktop_file = staged + "/usr/share/applications/klamor.desktop";
    std::map<std::string, std::string> installed = snapshot(staged);

    // Sessions without a session bus. Told nothing, libdbus (which SDL
    // loads) would autolaunch a bus daemon that outlives the player and
    // writes ~/.dbus; told of a bus that does not answer, it would wait for
    // it with no window.
    std::string runtime = dir + "/runtime";
    fs::create_directory(runtime);
    std::string why;
    ASSERT_TRUE(start_session_bus(&stopped, &why)) << why;
    kill(stopped.pid, SIGSTOP);
    struct Session {
        const char* name;
        std::vector<std::string> settings;
    };
    const Session SESSIONS[] = {
        {"nothing says where a bus is", {}},
        {"a runtime folder without a bus", {"XDG_RUNTIME_DIR=" + runtime}},
        {"an address where no bus answers", {"DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtime + "/bus"}},
        {"a bus that is stopped", {"DBUS_SESSION_BUS_ADDRESS=" + stopped.address}},
    };
    std::string folder;
    for (const Session& session : SESSIONS) {
        SCOPED_TRACE(session.name);
        // As a desktop runs the entry: its Exec line through the search path.
        std::vector<std::string> env = environment();
        env.push_back("PATH=" + staged + "/usr/bin:/usr/bin:/bin");
        env.insert(env.end(), session.settings.begin(), session.settings.end());
        start({"/bin/sh", "-c", "exec " + desktop_value(desktop_file, "Exec")}, env);
        Window window = wait_until_ready();
        ASSERT_NE(window, 0u) << player_stderr(player);
        // Docks group the window under the entry by this.
        WindowLook look;
        ASSERT_TRUE(look_at(x.display, window, &look));
        EXPECT_EQ(look.class_name, desktop_value(desktop_file, "StartupWMClass"));

        expect_listed(SAMPLE_SONGS);
        pick_line_of("night_bus.mp3");
        struct stat info = {};
        ASSERT_EQ(stat(temp_dir.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0700u);
        folder = working_folder(player);
        quit_with_escape();

        EXPECT_EQ(snapshot(staged), installed);
        EXPECT_TRUE(fs::is_empty(elsewhere));
        for (const auto& entry : fs::recursive_directory_iterator(home)) {
            std::string path = entry.path().string();
            bool own =
                path.starts_with(work) || path.starts_with(state) || work.starts_with(path) || state.starts_with(path);
            EXPECT_TRUE(own) << path << " was written";
        }
        for (pid_t left : children_besides({x.pid, stopped.pid})) {
            std::string command = read_file("/proc/" + std::to_string(left) + "/cmdline");
            std::replace(command.begin(), command.end(), '\0', ' ');
            ADD_FAILURE() << command << "was left running";
            end_child(&left);
        }
    }
    // The folders of a player that has ended go once the next start runs.
    start({launcher}, environment());
    ASSERT_NE(wait_until_ready(), 0u) << player_stderr(player);
    EXPECT_TRUE(wait_until([&] {
        return !fs::exists(folder) && std::distance(fs::directory_iterator(state), fs::directory_iterator()) == 1;
    }));
    quit_with_escape();
}

TEST_F(InstalledPlayer, FolderGivenIsListedRememberedAndCheckedFirst)
{
    std::string launcher = stage(dir + "/stage", "/usr");
    std::string songs = dir + "/Música de prueba";
    fs::create_directories(songs);
    fs::copy_file(std::string(KLAMOR_SOURCE_DIR) + "/music/night_bus.mp3", songs + "/canción del bus.mp3");

    // Given relative to where the user stands.
    start({launcher, "../Música de prueba"}, environment());
    ASSERT_NE(wait_until_ready(), 0u) << player_stderr(player);
    expect_listed({"canción del bus.mp3"});
    quit_with_escape();
    EXPECT_EQ(music_link(), songs);

    // Refused before anything changes: one line, status 2, no window.
    write_file(dir + "/a file.mp3", "");
    struct Refused {
        std::vector<std::string> arguments;
    };
    const Refused REFUSED[] = {
        {{dir + "/a file.mp3"}}, {{dir + "/missing folder"}}, {{""}}, {{"--loud"}}, {{songs, songs}},
    };
    for (const Refused& row : REFUSED) {
        std::vector<std::string> argv = {launcher};
        argv.insert(argv.end(), row.arguments.begin(), row.arguments.end());
        start(argv, environment());
        ASSERT_TRUE(wait_exit(&player)) << argv[1];
        EXPECT_EQ(player.status, 2) << argv[1];
        std::string err = player_stderr(player);
        EXPECT_TRUE(err.starts_with("klamor: ") && err.find('\n') == err.size() - 1) << argv[1] << ": " << err;
        EXPECT_EQ(player_stdout(player), "") << argv[1];
        EXPECT_EQ(music_link(), songs) << argv[1];
    }

    struct Answer {
        const char* argument;
        std::string starts;
    };
    const Answer ANSWERS[] = {{"--help", "Usage: klamor [FOLDER]\n"},
                              {"--version", std::string("klamor ") + KLAMOR_VERSION + "\n"}};
    for (const Answer& row : ANSWERS) {
        start({launcher, row.argument}, environment());
        ASSERT_TRUE(wait_exit(&player)) << row.argument;
        EXPECT_EQ(player.status, 0) << row.argument;
        EXPECT_TRUE(player_stdout(player).starts_with(row.starts)) << row.argument << ": " << player_stdout(player);
    }

    // The next plain start goes back to the same folder.
    start({launcher}, environment());
    ASSERT_NE(wait_until_ready(), 0u) << player_stderr(player);
    expect_listed({"canción del bus.mp3"});
    quit_with_escape();
}

TEST_F(InstalledPlayer, InstallMovedElsewhereIsFollowed)
{
    std::string first = stage(dir + "/first", "/usr");
    start({first}, environment());
    ASSERT_NE(wait_until_ready(), 0u) << player_stderr(player);
    quit_with_escape();

    // The first install goes away, another comes at another prefix: the
    // links follow it, and the sample songs are still what plays.
    std::string second = stage(dir + "/second", "/opt/klamor");
    fs::remove_all(dir + "/first");
    start({second}, environment());
    ASSERT_NE(wait_until_ready(), 0u) << player_stderr(player);
    expect_listed(SAMPLE_SONGS);
    quit_with_escape();
    EXPECT_EQ(music_link(), fs::canonical(dir + "/second/opt/klamor/share/klamor/music").string());
}

TEST_F(InstalledPlayer, StartsAtTheSameInstantEachGetTheirOwnFolders)
{
    std::string launcher = stage(dir + "/stage", "/usr");
    std::map<std::string, std::string> installed = snapshot(dir + "/stage");
    std::string songs[2] = {dir + "/songs X", dir + "/songs Y"};
    for (const std::string& folder : songs) {
        fs::create_directories(folder);
        write_file(folder + "/" + folder.substr(folder.size() - 1) + ".mp3", "");
    }
    Player* runs[2] = {&player, &other};
    // A fresh home each time: the first start makes the per-user folders.
    const int TRIES = 20;
    for (int i = 0; i < TRIES; ++i) {
        SCOPED_TRACE("try " + std::to_string(i));
        home = dir + "/home " + std::to_string(i);
        fs::create_directories(home);
        start({launcher, songs[0]}, environment(), runs[0]);
        start({launcher, songs[1]}, environment(), runs[1]);
        for (int k = 0; k < 2; ++k) {
            ASSERT_NE(wait_for_window(x, *runs[k]), 0u) << player_stderr(*runs[k]);
            EXPECT_EQ(fs::read_symlink(working_folder(*runs[k]) + "/music"), songs[k]);
        }
        EXPECT_NE(working_folder(player), working_folder(other));
        std::string remembered = fs::read_symlink(home + "/.local/share/klamor/music").string();
        EXPECT_TRUE(remembered == songs[0] || remembered == songs[1]) << remembered;
        for (Player* run : runs) {
            end_child(&run->pid);
        }
    }
    // Nothing made inside the install or through the links.
    EXPECT_EQ(snapshot(dir + "/stage"), installed);
    for (const std::string& folder : songs) {
        EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1) << folder;
    }
}

TEST_F(InstalledPlayer, SecondStartLeavesTheRunningPlayerAlone)
{
    std::string launcher = stage(dir + "/stage", "/usr");
    std::string songs[2] = {dir + "/songs X", dir + "/songs Y"};
    for (const std::string& folder : songs) {
        fs::create_directories(folder);
        fs::copy_file(std::string(KLAMOR_SOURCE_DIR) + "/music/night_bus.mp3",
                      folder + "/" + folder.substr(folder.size() - 1) + ".mp3");
    }
    // The state folder a link to one of the user's folders: followed, but
    // its mode is the user's.
    std::vector<std::string> env = environment();
    env.push_back("XDG_STATE_HOME=" + dir + "/state");
    std::string linked_state = dir + "/kept state";
    fs::create_directories(dir + "/state");
    fs::create_directories(linked_state);
    fs::permissions(linked_state, fs::perms(0755));
    fs::create_directory_symlink(linked_state, dir + "/state/klamor");

    start({launcher, songs[0]}, env);
    ASSERT_NE(wait_until_ready(), 0u) << player_stderr(player);
    expect_listed({"X.mp3"});
    pick_line_of("X.mp3");
    std::string first_list = read_file(temp_dir + "/temporaire.txt");
    std::string first_choice = read_file(temp_dir + "/datest.txt");

    // The second start lists and picks its own folder.
    start({launcher, songs[1]}, env, &other);
    std::swap(player, other);
    ASSERT_NE(wait_until_ready(), 0u) << player_stderr(player);
    expect_listed({"Y.mp3"});
    pick_line_of("Y.mp3");
    quit_with_escape();
    std::swap(player, other);
    temp_dir = working_folder(player) + "/temp";

    EXPECT_EQ(read_file(temp_dir + "/temporaire.txt"), first_list);
    EXPECT_EQ(read_file(temp_dir + "/datest.txt"), first_choice);
    EXPECT_EQ(fs::read_symlink(working_folder(player) + "/music"), songs[0]);
    click_on(BACK_SPOT);
    expect_listed({"X.mp3"});
    EXPECT_EQ(read_file(temp_dir + "/temporaire.txt"), first_list);
    quit_with_escape();
    EXPECT_EQ(fs::status(linked_state).permissions(), fs::perms(0755));
}

// The folders of ended players go behind the player's back: one that cannot
// be removed is left for later, and thousands neither hold a start up nor
// make a start meanwhile wait.
TEST_F(InstalledPlayer, EndedPlayersFoldersNeverHoldAStartUp)
{
    // The clearer that outlives the start becomes this program's child, to
    // be ended with the test.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    std::string launcher = stage(dir + "/stage", "/usr");
    // In memory where there is a place for it: on disk, removing the
    // thousands of folders below takes seconds after the test.
    std::string memory = "/dev/shm/klamor-home-XXXXXX";
    if (fs::is_directory("/dev/shm") && mkdtemp(memory.data()) != nullptr) {
        home = in_memory = memory;
        work = home + "/.local/share/klamor";
        state = home + "/.local/state/klamor";
    }

    // What a mount left inside the folder does to rm, as an immutable file.
    std::string stuck = make_ended("stuck");
    std::string gone = make_ended("gone");
    write_file(stuck + "/pinned", "");
    if (!set_immutable(stuck + "/pinned", true)) {
        GTEST_SKIP() << "cannot make a file immutable here (needs root and a file system that has the flag)";
    }
    immutable = stuck + "/pinned";
    start({launcher}, environment());
    ASSERT_NE(wait_until_ready(), 0u) << player_stderr(player);
    EXPECT_TRUE(wait_until([&] { return !fs::exists(gone) && !fs::exists(state + "/gone"); }));
    EXPECT_TRUE(fs::exists(stuck + "/pinned"));
    quit_with_escape();

    // Far more than can go while a player comes up: when its window shows,
    // some are still there, and a start made meanwhile comes up too.
    const int THOUSANDS = 3000;
    for (int i = 0; i < THOUSANDS; ++i) {
        make_ended("ended " + std::to_string(i));
    }
    auto ended_left = [&] {
        int left = 0;
        for (const auto& entry : fs::directory_iterator(work + "/run")) {
            left += entry.path().filename().string().starts_with("ended ") ? 1 : 0;
        }
        return left;
    };
    start({launcher}, environment());
    ASSERT_NE(wait_until_ready(), 0u) << player_stderr(player);
    EXPECT_GT(ended_left(), 0) << "the start waited for the old folders to go";
    start({launcher}, environment(), &other);
    EXPECT_NE(wait_for_window(x, other), 0u) << player_stderr(other);
    EXPECT_EQ(player_stderr(other), "");
    quit_with_escape();
    for (pid_t left : children_besides({x.pid})) {
        if (left != other.pid) {
            end_child(&left);
        }
    }
}
