// qel-top: a terminal view of a running host's statistics, read from its
// status server's /stats.json. For a board's serial console or an ssh
// session: works at 80x24, on a vt100, and without colour.
#include <curl/curl.h>
#include <curses.h>
#include <getopt.h>
#include <langinfo.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <clocale>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "KwStdMutex.h"
#include "TopFetch.h"
#include "TopLayout.h"
#include "TopModel.h"

namespace {

// Exit statuses, for scripts.
enum Exit {
    EXIT_OK = 0,
    EXIT_TERMINAL = 1,
    EXIT_USAGE = 2,
    EXIT_UNREACHABLE = 3,
    EXIT_NOT_STATS = 4
};

const char kUsage[] =
    "usage: qel-top [options] URL\n"
    "Shows a running host's statistics, read from its status server: URL is the\n"
    "server's base (http://127.0.0.1:8080) or its /stats.json.\n"
    "\n"
    "      --once            print the table once and exit (also when the output\n"
    "                        is not a terminal): status 0; 3 when the host cannot\n"
    "                        be reached, does not answer in time or answers with\n"
    "                        an error (4xx, 5xx); 4 when it answers something that\n"
    "                        is not its statistics (another document, a redirect,\n"
    "                        which is not followed, more than 16 MiB); 2 for a\n"
    "                        usage error\n"
    "      --width N         the width of --once's table (default: the terminal's,\n"
    "                        or every column and whole names when not a terminal)\n"
    "  -i, --interval S      seconds between refreshes (0.2 to 3600, default 1)\n"
    "      --timeout S       seconds a refresh may take (0.2 to 600, default 2)\n"
    "  -s, --sort KEY        minute (default), hour, day, total, peak, mark,\n"
    "                        latency or name\n"
    "  -f, --filter TEXT     only events whose name holds TEXT\n"
    "      --auth-file FILE  basic auth: FILE's first line is user:password\n"
    "                        (else the environment's QEL_TOP_AUTH, if set)\n"
    "      --cacert FILE     the CA certificates to trust for https\n"
    "      --cert FILE       a client certificate for https, and its key:\n"
    "      --key FILE\n"
    "      --insecure        https without checking the server's certificate\n"
    "  -h, --help            show this help\n"
    "\n"
    "Keys: up/down (j/k), PgUp/PgDn, Home/End: choose an event; Enter: its last\n"
    "60 s, 60 min and 24 h as bars (any key back); s/S: next/previous sort, from\n"
    "the top (the sorted column is marked); /: filter (Enter keeps it, Esc drops\n"
    "the edit); Esc: clear the filter; q: quit, at once.\n"
    "No colour when NO_COLOR is set.\n";

struct Options {
    std::string url;
    bool once = false;
    int width = -1;  // -1: the terminal's
    double interval = 1;
    double timeout = 2;
    TopSortKey sort = TopSortKey::MINUTE;
    std::string filter;
    TopFetchOptions fetch;
};

bool Seconds(const char* text, double low, double high, double& out) {
    const char* end = text + strlen(text);
    double value = 0;
    auto [stop, failure] = std::from_chars(text, end, value);  // whatever the locale
    if (failure != std::errc() || stop != end || !(value >= low && value <= high)) {
        return false;
    }
    out = value;
    return true;
}

bool SortKeyNamed(const std::string& name, TopSortKey& key) {
    for (int i = 0; i < kTopSortKeys; ++i) {
        if (name == TopSortName(static_cast<TopSortKey>(i))) {
            key = static_cast<TopSortKey>(i);
            return true;
        }
    }
    return false;
}

// Reads the options; on a usage error returns false with the reason.
bool ParseOptions(int argc, char** argv, Options& options, std::string& error, bool& help) {
    enum { ONCE = 256, WIDTH, TIMEOUT, AUTH_FILE, CACERT, CERT, KEY, INSECURE };
    const option longOptions[] = {{"once", no_argument, nullptr, ONCE},
                                  {"width", required_argument, nullptr, WIDTH},
                                  {"interval", required_argument, nullptr, 'i'},
                                  {"timeout", required_argument, nullptr, TIMEOUT},
                                  {"sort", required_argument, nullptr, 's'},
                                  {"filter", required_argument, nullptr, 'f'},
                                  {"auth-file", required_argument, nullptr, AUTH_FILE},
                                  {"cacert", required_argument, nullptr, CACERT},
                                  {"cert", required_argument, nullptr, CERT},
                                  {"key", required_argument, nullptr, KEY},
                                  {"insecure", no_argument, nullptr, INSECURE},
                                  {"help", no_argument, nullptr, 'h'},
                                  {nullptr, 0, nullptr, 0}};
    std::string authFile;
    opterr = 0;
    int option;
    while ((option = getopt_long(argc, argv, ":i:s:f:h", longOptions, nullptr)) != -1) {
        std::string value = optarg != nullptr ? optarg : "";
        switch (option) {
            case ONCE:
                options.once = true;
                break;
            case WIDTH: {
                double width = 0;
                if (!Seconds(optarg, 20, 10000, width) || width != static_cast<int>(width)) {
                    error = "--width wants a whole number from 20 to 10000, not '" + value + "'";
                    return false;
                }
                options.width = static_cast<int>(width);
                break;
            }
            case 'i':
                if (!Seconds(optarg, 0.2, 3600, options.interval)) {
                    error = "--interval wants seconds from 0.2 to 3600, not '" + value + "'";
                    return false;
                }
                break;
            case TIMEOUT:
                if (!Seconds(optarg, 0.2, 600, options.timeout)) {
                    error = "--timeout wants seconds from 0.2 to 600, not '" + value + "'";
                    return false;
                }
                break;
            case 's':
                if (!SortKeyNamed(value, options.sort)) {
                    error = "--sort: no key '" + value + "'";
                    return false;
                }
                break;
            case 'f':
                options.filter = value;
                break;
            case AUTH_FILE:
                authFile = value;
                break;
            case CACERT:
                options.fetch.caFile = value;
                break;
            case CERT:
                options.fetch.certFile = value;
                break;
            case KEY:
                options.fetch.keyFile = value;
                break;
            case INSECURE:
                options.fetch.insecure = true;
                break;
            case 'h':
                help = true;
                return true;
            case ':':
                error = std::string(argv[optind - 1]) + " wants a value";
                return false;
            default:
                error = std::string("unknown option ") + argv[optind - 1];
                return false;
        }
    }
    if (optind != argc - 1) {
        error = optind == argc ? "no URL" : "one URL only";
        return false;
    }
    options.url = argv[optind];
    options.fetch.url = TopJsonUrl(options.url);
    if (options.fetch.url.empty()) {
        error = "'" + options.url + "' is not an http:// or https:// URL";
        return false;
    }
    options.fetch.timeoutMs = static_cast<long>(options.timeout * 1000);
    if (!authFile.empty()) {
        std::ifstream file(authFile);
        if (!file || !std::getline(file, options.fetch.basicAuth) ||
            options.fetch.basicAuth.find(':') == std::string::npos) {
            error = "--auth-file " + authFile + ": " +
                    (file ? "the first line is not user:password" : strerror(errno));
            return false;
        }
        if (!options.fetch.basicAuth.empty() && options.fetch.basicAuth.back() == '\r') {
            options.fetch.basicAuth.pop_back();
        }
    } else if (const char* auth = getenv("QEL_TOP_AUTH")) {
        options.fetch.basicAuth = auth;
    }
    return true;
}

// The host part of the URL, without any user:password in it.
std::string Where(const std::string& url) {
    size_t start = url.find("://") + 3;
    size_t end = url.find('/', start);
    std::string authority = url.substr(start, end == std::string::npos ? end : end - start);
    size_t at = authority.rfind('@');
    return at == std::string::npos ? authority : authority.substr(at + 1);
}

int64_t Now() {
    return static_cast<int64_t>(time(nullptr));
}

// One refresh, for --once.
int PrintOnce(const Options& options, bool utf8) {
    TopFetch fetch(options.fetch);
    std::string body, error;
    TopFetchResult result = fetch.Get(body, error);
    TopStats stats;
    if (result == TopFetchResult::FETCHED && !ParseTopStats(body, stats, error)) {
        result = TopFetchResult::NOT_STATS;
    }
    // The reason may quote the server: it gets to a terminal as a name does.
    std::string url = TopFit(options.fetch.url, 0, utf8), reason = TopFit(error, 0, utf8);
    switch (result) {
        case TopFetchResult::FETCHED:
            break;
        case TopFetchResult::UNREACHABLE:
        case TopFetchResult::STOPPED:  // nothing stops it here
            fprintf(stderr, "qel-top: cannot read %s: %s\n", url.c_str(), reason.c_str());
            return EXIT_UNREACHABLE;
        case TopFetchResult::NOT_STATS:
            fprintf(stderr, "qel-top: %s did not answer with a host's statistics: %s\n",
                    url.c_str(), reason.c_str());
            return EXIT_NOT_STATS;
    }
    int width = options.width;
    if (width < 0) {
        width = 0;
        if (isatty(STDOUT_FILENO)) {
            const char* columns = getenv("COLUMNS");
            width = columns != nullptr ? atoi(columns) : 80;
            width = std::max(20, width);
        }
    }
    std::vector<std::string> lines = TopHeader(stats, Where(options.fetch.url), false, width, utf8);
    std::vector<std::string> table =
        TopTable(TopRows(stats, options.sort, options.filter), options.sort, width, utf8);
    lines.insert(lines.end(), table.begin(), table.end());
    for (const std::string& line : lines) {
        printf("%s\n", line.c_str());
    }
    return fflush(stdout) == 0 ? EXIT_OK : EXIT_TERMINAL;
}

// Refreshes on a thread of its own, so that keys are answered while a host
// is slow to answer.
class Refresher {
public:
    struct View {
        std::shared_ptr<const TopStats> stats;  // the latest good figures, or null
        std::string failure;                    // why the latest refresh failed, or empty
        int64_t failedAt = 0;
        unsigned generation = 0;  // changes with each refresh
    };

    explicit Refresher(const Options& options)
        : m_fetch(options.fetch),
          m_interval(std::chrono::milliseconds(static_cast<long>(options.interval * 1000))),
          m_thread(&Refresher::Run, this) {}

    // At once, even while a host keeps a refresh waiting.
    ~Refresher() {
        {
            KwStdGuard guard(m_lock);  // so that the wait cannot miss it
            m_stopping.store(true);
        }
        m_fetch.Stop();
        m_wake.notify_all();
        m_thread.join();
    }

    View Latest() KW_EXCLUDES(m_lock) {
        KwStdGuard guard(m_lock);
        return m_view;
    }

private:
    void Run() KW_EXCLUDES(m_lock) {
        for (;;) {
            std::string body, error;
            auto stats = std::make_shared<TopStats>();
            TopFetchResult result = m_fetch.Get(body, error);
            if (result == TopFetchResult::STOPPED) {
                return;
            }
            bool good = result == TopFetchResult::FETCHED && ParseTopStats(body, *stats, error);
            if (!good && result != TopFetchResult::UNREACHABLE) {
                error = "not a host's statistics: " + error;
            }
            KwStdGuard guard(m_lock);
            if (good) {
                m_view.stats = std::move(stats);
                m_view.failure.clear();
            } else {
                m_view.failure = error;
                m_view.failedAt = Now();
            }
            ++m_view.generation;
            if (m_wake.wait_for(m_lock, m_interval, [this] { return m_stopping.load(); })) {
                return;
            }
        }
    }

    TopFetch m_fetch;  // the refresh thread's alone, but for Stop()
    const std::chrono::milliseconds m_interval;
    KwStdMutex m_lock;
    std::condition_variable_any m_wake;
    std::atomic<bool> m_stopping{false};
    View m_view KW_GUARDED_BY(m_lock);
    std::thread m_thread;  // last: starts once the rest is set
};

// The interactive view on the terminal.
class Screen {
public:
    Screen(const Options& options, bool utf8, bool colour)
        : m_options(options),
          m_utf8(utf8),
          m_colour(colour),
          m_sort(options.sort),
          m_filter(options.filter) {}

    int Run(Refresher& refresher) {
        unsigned shown = ~0u;
        bool dirty = true;
        for (;;) {
            Refresher::View view = refresher.Latest();
            if (view.generation != shown) {
                shown = view.generation;
                dirty = true;
            }
            if (dirty) {
                Draw(view);
                dirty = false;
            }
            int key = getch();  // waits at most the input timeout
            if (key == ERR) {
                continue;
            }
            dirty = true;
            if (!Key(key, view)) {
                return EXIT_OK;
            }
        }
    }

private:
    enum Attribute { PLAIN, TITLE, CHOSEN, WARNING };

    void Put(int row, const std::string& line, Attribute attribute) {
        attr_t bits = A_NORMAL;
        if (attribute == TITLE) {
            bits = A_BOLD | A_UNDERLINE;
        } else if (attribute == CHOSEN) {
            bits = A_REVERSE;
        } else if (attribute == WARNING) {
            bits = A_BOLD | (m_colour ? COLOR_PAIR(1) : A_NORMAL);
        }
        attrset(bits);
        mvaddstr(row, 0, line.c_str());
        attrset(A_NORMAL);
    }

    void Draw(const Refresher::View& view) {
        erase();
        int width = COLS, height = LINES;
        if (!view.stats) {
            Put(0, TopFit("qel-top " + Where(m_options.fetch.url), width, m_utf8), TITLE);
            std::vector<std::string> lines =
                TopWrap(view.failure.empty() ? "waiting for the first answer"
                                             : "no answer yet: " + view.failure,
                        width, m_utf8, std::max(1, height - 3));
            for (size_t i = 0; i < lines.size(); ++i) {
                Put(2 + static_cast<int>(i), lines[i], view.failure.empty() ? PLAIN : WARNING);
            }
            Put(height - 1, TopFit("q quit", width, m_utf8), PLAIN);
            refresh();
            return;
        }
        const TopStats& stats = *view.stats;
        bool stale = !view.failure.empty();
        std::vector<std::string> header =
            TopHeader(stats, Where(m_options.fetch.url), stale, width, m_utf8);
        Put(0, header[0], stale ? WARNING : PLAIN);
        Put(1, header[1], PLAIN);
        if (header.size() > 2 && !stale && !m_history) {
            Put(2, header[2], stats.push.failing ? WARNING : PLAIN);  // the pusher's line
        }
        m_drawn = view.stats;
        m_rows = TopRows(stats, m_sort, m_filter);
        if (m_history) {
            DrawHistory(stats, stale, view, width, height);
        } else {
            DrawTable(stale, view, width, height);
        }
        refresh();
    }

    // Why the last refresh failed, from row 2, whole on up to 4 lines while
    // `keep` rows stay for the rest; returns the row after it.
    int PutFailure(const Refresher::View& view, int width, int height, int keep) {
        std::vector<std::string> lines =
            TopWrap("! refresh failed at " + TopTime(view.failedAt) + " UTC: " + view.failure,
                    width, m_utf8, std::max(1, std::min(4, height - 2 - keep)));
        for (size_t i = 0; i < lines.size(); ++i) {
            Put(2 + static_cast<int>(i), lines[i], WARNING);
        }
        return 2 + static_cast<int>(lines.size());
    }

    void DrawTable(bool stale, const Refresher::View& view, int width, int height) {
        // The titles, then rows down to the footer's line.
        int titles = stale ? PutFailure(view, width, height, 3) : 3;
        std::vector<std::string> table = TopTable(m_rows, m_sort, width, m_utf8);
        Put(titles, table[0], TITLE);
        int room = std::max(1, height - 2 - titles);
        Choose(room);
        for (int i = 0; i < room && m_top + i < static_cast<int>(m_rows.size()); ++i) {
            int row = m_top + i;
            Put(titles + 1 + i, table[static_cast<size_t>(row) + 1],
                row == m_chosen ? CHOSEN : PLAIN);
        }
        if (m_rows.empty()) {
            Put(titles + 1,
                TopFit(m_filter.empty()
                           ? "(the host has no events)"
                           : "(no event's name holds \"" + m_filter + "\": Esc clears the filter)",
                       width, m_utf8),
                PLAIN);
        }
        std::string help;
        if (m_editing) {
            help = "filter: " + m_edit + "_   (Enter keeps it, Esc drops the edit)";
        } else {
            help = "q quit  s sort:" + std::string(TopSortName(m_sort)) + "  / filter";
            if (!m_filter.empty()) {
                help += ":" + m_filter + " (Esc clears)";
            }
            help += "  Enter history  " + std::to_string(m_rows.size()) + " of " +
                    std::to_string(view.stats->events.size()) + " events";
        }
        Put(height - 1, TopFit(help, width, m_utf8), PLAIN);
    }

    void DrawHistory(const TopStats& stats, bool stale, const Refresher::View& view, int width,
                     int height) {
        const TopEvent* event = nullptr;
        for (const TopEvent& candidate : stats.events) {
            if (candidate.id == m_chosenId) {
                event = &candidate;
            }
        }
        if (event == nullptr) {
            m_history = false;  // it is gone from the host's list
            DrawTable(stale, view, width, height);
            return;
        }
        int first = 3;
        if (stale) {
            first = PutFailure(view, width, height, 9);
        } else {
            Put(2, TopFit(TopEventName(*event), width, m_utf8), TITLE);
        }
        // The figures, then three charts of a title, their bars and an axis,
        // above the footer.
        int barRows = std::max(1, (height - first - 1 - 1 - 3 * 2) / 3);
        std::vector<std::string> lines =
            TopHistory(*event, stats.lastRollup, width, barRows, m_utf8);
        for (size_t i = 0; i < lines.size() && first + static_cast<int>(i) < height - 1; ++i) {
            Put(first + static_cast<int>(i), lines[i], PLAIN);
        }
        Put(height - 1, TopFit("any key: back to the table  q quit", width, m_utf8), PLAIN);
    }

    // Keeps the chosen event chosen across refreshes and visible.
    void Choose(int room) {
        int count = static_cast<int>(m_rows.size());
        m_chosen = -1;
        for (int i = 0; i < count; ++i) {
            if (m_rows[static_cast<size_t>(i)]->id == m_chosenId) {
                m_chosen = i;
            }
        }
        if (m_chosen < 0 && count > 0) {
            m_chosen = std::min(std::max(0, m_lastChosen), count - 1);
            m_chosenId = m_rows[static_cast<size_t>(m_chosen)]->id;
        }
        m_lastChosen = m_chosen;
        m_top = std::min(std::max(m_top, m_chosen - room + 1), std::max(0, m_chosen));
        m_top = std::max(0, std::min(m_top, count - room));
        m_room = room;
    }

    // The first row chosen, and in view.
    void ToTop() {
        m_chosenId = -1;
        m_lastChosen = 0;
        m_top = 0;
    }

    void Move(int by) {
        int count = static_cast<int>(m_rows.size());
        if (count == 0) {
            return;
        }
        int to = std::max(0, std::min(count - 1, std::max(0, m_chosen) + by));
        m_chosen = m_lastChosen = to;
        m_chosenId = m_rows[static_cast<size_t>(to)]->id;
    }

    // Returns false to quit.
    bool Key(int key, const Refresher::View& view) {
        if (key == KEY_RESIZE) {
            return true;
        }
        if (m_editing) {
            if (key == '\n' || key == '\r' || key == KEY_ENTER) {
                m_filter = m_edit;
                m_editing = false;
            } else if (key == 27) {
                m_editing = false;
            } else if (key == KEY_BACKSPACE || key == 127 || key == 8) {
                if (!m_edit.empty()) {
                    m_edit.pop_back();
                }
            } else if (key >= 0x20 && key < 0x7F && m_edit.size() < 64) {
                m_edit += static_cast<char>(key);
            }
            return true;
        }
        if (key == 'q' || key == 'Q') {
            return false;
        }
        if (m_history) {
            m_history = false;
            return true;
        }
        switch (key) {
            case KEY_UP:
            case 'k':
                Move(-1);
                break;
            case KEY_DOWN:
            case 'j':
                Move(1);
                break;
            case KEY_PPAGE:
                Move(-m_room);
                break;
            case KEY_NPAGE:
                Move(m_room);
                break;
            case KEY_HOME:
            case 'g':
                Move(-static_cast<int>(m_rows.size()));
                break;
            case KEY_END:
            case 'G':
                Move(static_cast<int>(m_rows.size()));
                break;
            case 's':
                m_sort = static_cast<TopSortKey>((static_cast<int>(m_sort) + 1) % kTopSortKeys);
                ToTop();
                break;
            case 'S':
                m_sort = static_cast<TopSortKey>((static_cast<int>(m_sort) + kTopSortKeys - 1) %
                                                 kTopSortKeys);
                ToTop();
                break;
            case 27:  // Esc
                m_filter.clear();
                break;
            case '/':
                m_editing = true;
                m_edit = m_filter;
                break;
            case '\n':
            case '\r':
            case KEY_ENTER:
            case KEY_RIGHT:
                m_history = view.stats != nullptr && m_chosen >= 0;
                break;
            default:
                break;
        }
        return true;
    }

    const Options& m_options;
    const bool m_utf8;
    const bool m_colour;
    TopSortKey m_sort;
    std::string m_filter;
    std::string m_edit;
    bool m_editing = false;
    bool m_history = false;
    std::shared_ptr<const TopStats> m_drawn;  // the figures last drawn
    std::vector<const TopEvent*> m_rows;      // into m_drawn
    int m_chosen = -1, m_chosenId = -1, m_lastChosen = 0, m_top = 0, m_room = 1;
};

int RunInteractive(const Options& options, bool utf8) {
    // A terminal it cannot drive is said so, not left in a strange state.
    SCREEN* screen = newterm(nullptr, stdout, stdin);
    if (screen == nullptr) {
        const char* term = getenv("TERM");
        fprintf(stderr, "qel-top: cannot use the terminal '%s' (try --once)\n",
                term != nullptr ? term : "");
        return EXIT_TERMINAL;
    }
    const char* noColour = getenv("NO_COLOR");
    bool colour = has_colors() && (noColour == nullptr || noColour[0] == '\0');
    if (colour) {
        start_color();
        use_default_colors();
        init_pair(1, COLOR_RED, -1);
    }
    cbreak();
    noecho();
    keypad(stdscr, TRUE);
    set_escdelay(25);
    curs_set(0);
    timeout(100);
    int status;
    {
        Refresher refresher(options);
        status = Screen(options, utf8, colour).Run(refresher);
    }
    endwin();
    delscreen(screen);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::string error;
    bool help = false;
    if (!ParseOptions(argc, argv, options, error, help)) {
        fprintf(stderr, "qel-top: %s\n(qel-top --help tells more)\n", error.c_str());
        return EXIT_USAGE;
    }
    if (help) {
        fputs(kUsage, stdout);
        return EXIT_OK;
    }
    setlocale(LC_ALL, "");
    bool utf8 = strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
    signal(SIGPIPE, SIG_IGN);
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        fprintf(stderr, "qel-top: the HTTP client could not start\n");
        return EXIT_TERMINAL;
    }
    int status = options.once || !isatty(STDOUT_FILENO) ? PrintOnce(options, utf8)
                                                        : RunInteractive(options, utf8);
    curl_global_cleanup();
    return status;
}
