// SPDX-License-Identifier: GPL-2.0-or-later
#define FUSE_USE_VERSION 31

#include "sim/gpio_fs.hpp"

#include <fuse.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

namespace sim {

namespace {

const char LABEL[] = "pinctrl-bcm2835";

// What a path under the mount names.
struct Node {
    enum Type { None, Root, Export, Unexport, Chip, ChipAttr, Line, LineAttr } type = None;
    int line = -1;       // Line, LineAttr: kernel line number
    std::string attr;    // ChipAttr, LineAttr
};

// Numbers as the kernel's kstrtol(…, 0) reads them: optional sign, base
// prefix, digits, at most one trailing line feed.
std::optional<long> kernel_number(std::string text) {
    if (!text.empty() && text.back() == '\n') text.pop_back();
    if (text.empty() || isspace(static_cast<unsigned char>(text[0]))) return std::nullopt;
    errno = 0;
    char *end = nullptr;
    const long v = strtol(text.c_str(), &end, 0);
    if (errno || *end != '\0') return std::nullopt;
    return v;
}

// sysfs_streq: equal apart from one trailing line feed.
std::string strip_newline(std::string text) {
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

}  // namespace

struct GpioFs::Impl {
    // An exported line: what World::gpio shows, which export it is (files
    // opened under an earlier one are dead), and its value file's count of
    // changes as kernfs keeps it (1 before any edge).
    struct Line {
        World::GpioLine view;
        unsigned export_id = 0;
        unsigned events = 1;
    };
    // An open file: what it names, under which export, and the count of
    // changes its last read saw (0 at open, so a first poll reports one).
    struct OpenFile {
        Node node;
        unsigned export_id = 0;
        unsigned seen = 0;
        struct fuse_pollhandle *waiting = nullptr;
    };

    Recorder &rec;
    const int base;
    const GpioEdge edge_support;
    std::string mountpoint;
    mutable std::mutex m;
    bool board_level = false;           // the board's event line, as it last told us
    std::map<int, Line> lines;          // exported lines by kernel number
    unsigned exports = 0;
    std::map<uint64_t, OpenFile> files;  // by FUSE file handle
    uint64_t next_fh = 1;
    double hidden_until = -1;
    struct fuse *fuse = nullptr;
    std::thread loop;

    Impl(Recorder &r, int chip_base, GpioEdge edge) : rec(r), base(chip_base), edge_support(edge) {}

    Node parse(const std::string &path) const;
    bool value_hidden() const { return rec.now() < hidden_until; }
    bool exists(const Node &n) const;
    bool dead(const OpenFile &f) const;
    int level_locked(int number, const World::GpioLine &l) const;
    std::string content(const Node &n) const;
    int store(const Node &n, const std::string &text);
    int store_line_attr(const Node &n, const std::string &text, Event &e);
    unsigned events_of(const OpenFile &f) const;
    unsigned revents(const OpenFile &f) const;
    void board_line(bool high);
    void spike();
    void count_edge(bool high);
};

Node GpioFs::Impl::parse(const std::string &path) const {
    Node n;
    if (path == "/") return Node{Node::Root, -1, ""};
    if (path == "/export") return Node{Node::Export, -1, ""};
    if (path == "/unexport") return Node{Node::Unexport, -1, ""};
    const std::string chip = "/gpiochip" + std::to_string(base);
    if (path == chip) return Node{Node::Chip, -1, ""};
    if (path.rfind(chip + "/", 0) == 0) {
        const std::string attr = path.substr(chip.size() + 1);
        if (attr == "base" || attr == "label" || attr == "ngpio") return Node{Node::ChipAttr, -1, attr};
        return n;
    }
    if (path.rfind("/gpio", 0) != 0) return n;
    const size_t slash = path.find('/', 5);
    const std::string digits = path.substr(5, slash == std::string::npos ? std::string::npos : slash - 5);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos ||
        digits.size() > 6)
        return n;
    const int number = std::stoi(digits);
    if (slash == std::string::npos) return Node{Node::Line, number, ""};
    const std::string attr = path.substr(slash + 1);
    if (attr == "direction" || attr == "value" || attr == "edge" || attr == "active_low")
        return Node{Node::LineAttr, number, attr};
    return n;
}

bool GpioFs::Impl::exists(const Node &n) const {
    switch (n.type) {
    case Node::None: return false;
    case Node::Line: return lines.count(n.line) > 0;
    case Node::LineAttr:
        if (n.attr == "value" && value_hidden()) return false;
        if (n.attr == "edge" && edge_support == GpioEdge::Missing) return false;
        return lines.count(n.line) > 0;
    default: return true;
    }
}

// A file opened under an export that has ended: its kernfs node is gone.
bool GpioFs::Impl::dead(const OpenFile &f) const {
    if (f.node.type != Node::LineAttr) return false;
    const auto it = lines.find(f.node.line);
    return it == lines.end() || it->second.export_id != f.export_id;
}

// Physical level: the host's for an output, the board's for the event line.
int GpioFs::Impl::level_locked(int number, const World::GpioLine &l) const {
    if (l.output) return l.level;
    return number == base + EVENT_LINE && board_level ? 1 : 0;
}

std::string GpioFs::Impl::content(const Node &n) const {
    if (n.type == Node::ChipAttr) {
        if (n.attr == "base") return std::to_string(base) + "\n";
        if (n.attr == "label") return std::string(LABEL) + "\n";
        return std::to_string(NGPIO) + "\n";
    }
    const World::GpioLine &l = lines.at(n.line).view;
    if (n.attr == "direction") return l.output ? "out\n" : "in\n";
    if (n.attr == "edge") return l.edge + "\n";
    if (n.attr == "active_low") return l.active_low ? "1\n" : "0\n";
    const int level = level_locked(n.line, l) ^ (l.active_low ? 1 : 0);
    return level ? "1\n" : "0\n";
}

// A write to an attribute, as the kernel takes it: 0 or an errno value.
int GpioFs::Impl::store(const Node &n, const std::string &text) {
    Event e;
    e.text = text;
    int err = 0;
    if (n.type == Node::Export || n.type == Node::Unexport) {
        const bool exporting = n.type == Node::Export;
        e.kind = exporting ? Kind::GpioExport : Kind::GpioUnexport;
        const auto number = kernel_number(text);
        if (number && *number >= INT_MIN && *number <= INT_MAX) e.line = static_cast<int>(*number);
        if (!number)
            err = EINVAL;
        else if (exporting && (*number < base || *number >= base + NGPIO))
            err = EINVAL;
        else if (exporting && lines.count(e.line))
            err = EBUSY;
        else if (!exporting && !lines.count(e.line))
            err = EINVAL;
        else if (exporting)
            lines[e.line] = Line{World::GpioLine{true, false, 0, false, "none"}, ++exports};
        else
            lines.erase(e.line);
    } else if (n.type == Node::LineAttr) {
        e.line = n.line;
        err = store_line_attr(n, text, e);
    } else {
        e.kind = Kind::Note;
        err = EIO;
    }
    e.err = err;
    e.result = err ? -1 : static_cast<long>(text.size());
    rec.add(e);
    return err;
}

int GpioFs::Impl::store_line_attr(const Node &n, const std::string &text, Event &e) {
    World::GpioLine &l = lines.at(n.line).view;
    const std::string word = strip_newline(text);
    if (n.attr == "direction") {
        e.kind = Kind::GpioDirection;
        if (word == "in") {
            l.output = false;
        } else if (word == "out" || word == "low" || word == "high") {
            l.output = true;
            l.level = word == "high" ? 1 : 0;
        } else {
            return EINVAL;
        }
        return 0;
    }
    if (n.attr == "value") {
        e.kind = Kind::GpioValueWrite;
        if (!l.output) return EPERM;
        const auto v = kernel_number(text);
        if (!v) return EINVAL;
        l.level = (*v != 0) ^ (l.active_low ? 1 : 0);
        return 0;
    }
    if (n.attr == "edge") {
        e.kind = Kind::GpioEdge;
        if (word != "none" && word != "rising" && word != "falling" && word != "both") return EINVAL;
        // The kernel frees the old interrupt, then refuses to give an output
        // line (or a chip that has none to give) a new one.
        if (word != l.edge && word != "none" && (l.output || edge_support == GpioEdge::Refused)) {
            l.edge = "none";
            return EIO;
        }
        l.edge = word;
        return 0;
    }
    e.kind = Kind::GpioActiveLow;
    const auto v = kernel_number(text);
    if (!v) return EINVAL;
    l.active_low = *v != 0;
    return 0;
}

// The count of changes of the node an open file names: only value files
// are ever told of one.
unsigned GpioFs::Impl::events_of(const OpenFile &f) const {
    if (f.node.type != Node::LineAttr || f.node.attr != "value") return 1;
    return lines.at(f.node.line).events;
}

// What poll() reports, as kernfs does: always readable and writable; an
// exceptional condition and an error while the file has a change it has not
// read, and for good once its node is gone.
unsigned GpioFs::Impl::revents(const OpenFile &f) const {
    const unsigned always = POLLIN | POLLOUT | POLLRDNORM | POLLWRNORM;
    if (dead(f) || f.seen != events_of(f)) return always | POLLERR | POLLPRI;
    return always;
}

// The board's level of the event line; an edge armed on it while it is an
// exported input counts a change and wakes every poll on its value files.
void GpioFs::Impl::board_line(bool high) {
    std::lock_guard l(m);
    if (high == board_level) return;
    board_level = high;
    count_edge(high);
}

// A rise and fall of a low line, too short for any read to see: an armed
// edge counts them all the same, as the interrupt does.
void GpioFs::Impl::spike() {
    std::lock_guard l(m);
    if (board_level) return;
    count_edge(true);
    count_edge(false);
}

void GpioFs::Impl::count_edge(bool high) {
    const auto it = lines.find(base + EVENT_LINE);
    if (it == lines.end() || edge_support != GpioEdge::Works) return;
    Line &line = it->second;
    const World::GpioLine &v = line.view;
    const bool rising = high != v.active_low;
    if (v.output || v.edge == "none" || v.edge == (rising ? "falling" : "rising")) return;
    line.events++;
    for (auto &[fh, f] : files) {
        if (!f.waiting || f.node.line != it->first || f.node.attr != "value" || dead(f)) continue;
        fuse_notify_poll(f.waiting);
        fuse_pollhandle_destroy(f.waiting);
        f.waiting = nullptr;
    }
}

namespace {

GpioFs::Impl *self() { return static_cast<GpioFs::Impl *>(fuse_get_context()->private_data); }

void *fs_init(struct fuse_conn_info *, struct fuse_config *cfg) {
    // Every access reaches us: no cached entries, attributes or pages.
    cfg->entry_timeout = 0;
    cfg->attr_timeout = 0;
    cfg->negative_timeout = 0;
    cfg->direct_io = 1;
    cfg->kernel_cache = 0;
    return fuse_get_context()->private_data;
}

int fs_getattr(const char *path, struct stat *st, struct fuse_file_info *) {
    GpioFs::Impl *fs = self();
    std::lock_guard l(fs->m);
    const Node n = fs->parse(path);
    if (!fs->exists(n)) return -ENOENT;
    memset(st, 0, sizeof *st);
    st->st_uid = getuid();
    st->st_gid = getgid();
    st->st_atime = st->st_mtime = st->st_ctime = time(nullptr);
    switch (n.type) {
    case Node::Root: case Node::Chip: case Node::Line:
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        break;
    case Node::Export: case Node::Unexport:
        st->st_mode = S_IFREG | 0200;
        st->st_nlink = 1;
        st->st_size = 4096;
        break;
    case Node::ChipAttr:
        st->st_mode = S_IFREG | 0444;
        st->st_nlink = 1;
        st->st_size = 4096;
        break;
    default:
        st->st_mode = S_IFREG | 0644;
        st->st_nlink = 1;
        st->st_size = 4096;
        break;
    }
    return 0;
}

int fs_readdir(const char *path, void *buf, fuse_fill_dir_t fill, off_t, struct fuse_file_info *,
               enum fuse_readdir_flags) {
    GpioFs::Impl *fs = self();
    std::lock_guard l(fs->m);
    const Node n = fs->parse(path);
    if (!fs->exists(n)) return -ENOENT;
    auto add = [&](const std::string &name) { fill(buf, name.c_str(), nullptr, 0, FUSE_FILL_DIR_PLUS); };
    add(".");
    add("..");
    if (n.type == Node::Root) {
        add("export");
        add("unexport");
        add("gpiochip" + std::to_string(fs->base));
        for (const auto &[number, line] : fs->lines) add("gpio" + std::to_string(number));
    } else if (n.type == Node::Chip) {
        for (const char *a : {"base", "label", "ngpio"}) add(a);
    } else if (n.type == Node::Line) {
        for (const char *a : {"active_low", "direction"}) add(a);
        if (fs->edge_support != GpioEdge::Missing) add("edge");
        if (!fs->value_hidden()) add("value");
    } else {
        return -ENOTDIR;
    }
    return 0;
}

int fs_open(const char *path, struct fuse_file_info *fi) {
    GpioFs::Impl *fs = self();
    std::lock_guard l(fs->m);
    const Node n = fs->parse(path);
    if (!fs->exists(n)) return -ENOENT;
    if (n.type == Node::Root || n.type == Node::Chip || n.type == Node::Line) return -EISDIR;
    fi->direct_io = 1;
    fi->fh = fs->next_fh++;
    GpioFs::Impl::OpenFile &f = fs->files[fi->fh];
    f.node = n;
    if (n.type == Node::LineAttr) f.export_id = fs->lines.at(n.line).export_id;
    return 0;
}

int fs_release(const char *, struct fuse_file_info *fi) {
    GpioFs::Impl *fs = self();
    std::lock_guard l(fs->m);
    const auto it = fs->files.find(fi->fh);
    if (it == fs->files.end()) return 0;
    if (it->second.waiting) fuse_pollhandle_destroy(it->second.waiting);
    fs->files.erase(it);
    return 0;
}

// kernfs's poll: the handle is kept until a change wakes it or the next
// poll of the file replaces it.
int fs_poll(const char *, struct fuse_file_info *fi, struct fuse_pollhandle *ph, unsigned *reventsp) {
    GpioFs::Impl *fs = self();
    std::lock_guard l(fs->m);
    const auto it = fs->files.find(fi->fh);
    if (it == fs->files.end()) {
        if (ph) fuse_pollhandle_destroy(ph);
        return -EBADF;
    }
    GpioFs::Impl::OpenFile &f = it->second;
    if (ph) {
        if (f.waiting) fuse_pollhandle_destroy(f.waiting);
        f.waiting = ph;
    }
    *reventsp = fs->revents(f);
    return 0;
}

// The open file's record, or nothing for a file opened before the world
// kept one.
GpioFs::Impl::OpenFile *open_file(GpioFs::Impl *fs, const struct fuse_file_info *fi) {
    if (!fi) return nullptr;
    const auto it = fs->files.find(fi->fh);
    return it == fs->files.end() ? nullptr : &it->second;
}

int fs_read(const char *path, char *buf, size_t size, off_t offset, struct fuse_file_info *fi) {
    GpioFs::Impl *fs = self();
    std::lock_guard l(fs->m);
    const Node n = fs->parse(path);
    GpioFs::Impl::OpenFile *f = open_file(fs, fi);
    if (f && fs->dead(*f)) return -ENODEV;
    if (!fs->exists(n)) return -ENOENT;
    if (n.type == Node::Export || n.type == Node::Unexport) return -EIO;
    const std::string text = fs->content(n);
    const bool value = n.type == Node::LineAttr && n.attr == "value";
    std::string part = static_cast<size_t>(offset) < text.size() ? text.substr(offset, size) : "";
    if (f) f->seen = fs->events_of(*f);
    if (value && offset == 0) {
        Event e;
        e.kind = Kind::GpioValueRead;
        e.line = n.line;
        e.text = part;
        e.result = static_cast<long>(part.size());
        fs->rec.add(e);
    }
    memcpy(buf, part.data(), part.size());
    return static_cast<int>(part.size());
}

int fs_write(const char *path, const char *buf, size_t size, off_t, struct fuse_file_info *fi) {
    GpioFs::Impl *fs = self();
    std::lock_guard l(fs->m);
    const Node n = fs->parse(path);
    const GpioFs::Impl::OpenFile *f = open_file(fs, fi);
    if (f && fs->dead(*f)) return -ENODEV;
    if (!fs->exists(n)) return -ENOENT;
    const int err = fs->store(n, std::string(buf, size));
    return err ? -err : static_cast<int>(size);
}

// Opening with O_TRUNC (a shell's "echo 27 > export") truncates first.
int fs_truncate(const char *path, off_t, struct fuse_file_info *) {
    GpioFs::Impl *fs = self();
    std::lock_guard l(fs->m);
    return fs->exists(fs->parse(path)) ? 0 : -ENOENT;
}

}  // namespace

GpioFs::GpioFs(Recorder &recorder, Board &board, int base, GpioEdge edge, const std::string &mountpoint)
    : board_(board), impl_(std::make_unique<Impl>(recorder, base, edge)) {
    impl_->mountpoint = mountpoint;
    static const struct fuse_operations ops = [] {
        struct fuse_operations o {};
        o.init = fs_init;
        o.getattr = fs_getattr;
        o.readdir = fs_readdir;
        o.open = fs_open;
        o.read = fs_read;
        o.write = fs_write;
        o.truncate = fs_truncate;
        o.release = fs_release;
        o.poll = fs_poll;
        return o;
    }();
    // The kernel checks the modes (export is root-only, as in sysfs), and
    // processes of other users may enter (a test's non-root run).
    char a0[] = "bexo-sim-gpio", a1[] = "-o", a2[] = "default_permissions,allow_other,fsname=sysfs-gpio";
    char *argv[] = {a0, a1, a2, nullptr};
    struct fuse_args args = FUSE_ARGS_INIT(3, argv);
    impl_->fuse = fuse_new(&args, &ops, sizeof ops, impl_.get());
    if (!impl_->fuse) throw std::runtime_error("fuse_new failed");
    if (fuse_mount(impl_->fuse, mountpoint.c_str()) != 0) {
        fuse_destroy(impl_->fuse);
        impl_->fuse = nullptr;
        throw std::runtime_error("cannot mount the GPIO file system at " + mountpoint +
                                 " (is /dev/fuse usable?)");
    }
    impl_->loop = std::thread([fs = impl_->fuse] {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);
        fuse_loop(fs);
    });
    board_.set_line_listener([fs = impl_.get()](bool high) { fs->board_line(high); });
}

GpioFs::~GpioFs() {
    board_.set_line_listener(nullptr);
    if (!impl_->fuse) return;
    fuse_exit(impl_->fuse);
    // Unmounting ends the kernel connection, which ends the loop.
    fuse_unmount(impl_->fuse);
    if (impl_->loop.joinable()) impl_->loop.join();
    fuse_destroy(impl_->fuse);
}

World::GpioLine GpioFs::line(int number) const {
    std::lock_guard l(impl_->m);
    auto it = impl_->lines.find(number);
    return it == impl_->lines.end() ? World::GpioLine{} : it->second.view;
}

void GpioFs::spike_line() { impl_->spike(); }

void GpioFs::hide_value_until(double t) {
    std::lock_guard l(impl_->m);
    impl_->hidden_until = t;
}

}  // namespace sim
