// SPDX-License-Identifier: GPL-2.0-or-later
#include "sim/bus.hpp"

#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/stat.h>
#include <umockdev.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <stdexcept>

namespace sim {

namespace {

struct Client {
    std::string node;
    int address = -1;  // -1: not bound yet; the kernel then talks to address 0
};

}  // namespace

struct Bus::Impl {
    Recorder &rec;
    Board &board;
    std::string board_node;
    UMockdevTestbed *testbed = nullptr;
    UMockdevIoctlBase *handler = nullptr;
    std::mutex m;
    std::map<UMockdevIoctlClient *, Client> clients;

    Impl(Recorder &r, Board &b) : rec(r), board(b) {}

    Client &client(UMockdevIoctlClient *c) {
        auto it = clients.find(c);
        if (it == clients.end())
            it = clients.emplace(c, Client{umockdev_ioctl_client_get_devnode(c), -1}).first;
        return it->second;
    }

    Event bus_event(Kind kind, const Client &cl) {
        Event e;
        e.kind = kind;
        e.node = cl.node;
        e.address = cl.address;
        e.to_board = cl.node == board_node && cl.address >= 0 && cl.address == board.address();
        return e;
    }

    // The board answers only on its own node.
    int write(const Client &cl, const Bytes &bytes) {
        if (cl.node != board_node) return EREMOTEIO;
        return board.bus_write(cl.address < 0 ? 0 : cl.address, bytes);
    }

    int read(const Client &cl, size_t length, Bytes &reply) {
        if (cl.node != board_node) return EREMOTEIO;
        return board.bus_read(cl.address < 0 ? 0 : cl.address, length, reply);
    }

    void bind(UMockdevIoctlClient *c, Client &cl, unsigned long address);
    void smbus(UMockdevIoctlClient *c, Client &cl, UMockdevIoctlData *arg);
    void funcs(UMockdevIoctlClient *c, UMockdevIoctlData *arg);
};

namespace {

void finish(UMockdevIoctlClient *c, Event &e, long result, int err) {
    e.result = result;
    e.err = err;
    umockdev_ioctl_client_complete(c, result, err);
}

}  // namespace

// I2C_SLAVE: only 7-bit addresses without the ten-bit flag.
void Bus::Impl::bind(UMockdevIoctlClient *c, Client &cl, unsigned long address) {
    Event e = bus_event(Kind::I2cBind, cl);
    e.address = static_cast<int>(address);
    if (address > 0x7F) {
        finish(c, e, -1, EINVAL);
    } else {
        cl.address = static_cast<int>(address);
        e.to_board = cl.node == board_node && cl.address == board.address();
        finish(c, e, 0, 0);
    }
    rec.add(e);
}

void Bus::Impl::funcs(UMockdevIoctlClient *c, UMockdevIoctlData *arg) {
    GError *error = nullptr;
    UMockdevIoctlData *out = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned long), &error);
    if (!out) {
        g_clear_error(&error);
        umockdev_ioctl_client_complete(c, -1, EFAULT);
        return;
    }
    const unsigned long f = I2C_FUNC_I2C | I2C_FUNC_SMBUS_QUICK | I2C_FUNC_SMBUS_BYTE |
                            I2C_FUNC_SMBUS_BYTE_DATA | I2C_FUNC_SMBUS_WORD_DATA;
    memcpy(out->data, &f, sizeof f);
    umockdev_ioctl_client_complete(c, 0, 0);
}

// I2C_SMBUS: the transfers an SMBus-emulating adapter offers, made of plain
// writes and reads to the board.
void Bus::Impl::smbus(UMockdevIoctlClient *c, Client &cl, UMockdevIoctlData *arg) {
    GError *error = nullptr;
    UMockdevIoctlData *rec_data =
        umockdev_ioctl_data_resolve(arg, 0, sizeof(i2c_smbus_ioctl_data), &error);
    Event e = bus_event(Kind::Smbus, cl);
    if (!rec_data) {
        g_clear_error(&error);
        finish(c, e, -1, EFAULT);
        rec.add(e);
        return;
    }
    i2c_smbus_ioctl_data request;
    memcpy(&request, rec_data->data, sizeof request);
    const bool reading = request.read_write == I2C_SMBUS_READ;
    const uint8_t command = request.command;

    if (request.read_write > 1 ||
        (request.data == nullptr &&
         !(request.size == I2C_SMBUS_QUICK || (request.size == I2C_SMBUS_BYTE && !reading)))) {
        e.text = "size " + std::to_string(request.size);
        finish(c, e, -1, EINVAL);
        rec.add(e);
        return;
    }
    UMockdevIoctlData *data = nullptr;
    if (request.data) {
        data = umockdev_ioctl_data_resolve(rec_data, offsetof(i2c_smbus_ioctl_data, data),
                                           sizeof(i2c_smbus_data), &error);
        if (!data) {
            g_clear_error(&error);
            finish(c, e, -1, EFAULT);
            rec.add(e);
            return;
        }
    }
    auto *block = data ? reinterpret_cast<i2c_smbus_data *>(data->data) : nullptr;
    int err = 0;
    Bytes reply;
    switch (request.size) {
    case I2C_SMBUS_QUICK:
        e.text = "quick";
        err = write(cl, {});
        break;
    case I2C_SMBUS_BYTE:
        if (!reading) {
            e.kind = Kind::SmbusByteWrite;
            e.bytes = {command};
            err = write(cl, e.bytes);
        } else {
            e.text = "read-byte";
            err = read(cl, 1, reply);
            if (!err) block->byte = reply[0];
            e.bytes = reply;
        }
        break;
    case I2C_SMBUS_BYTE_DATA:
    case I2C_SMBUS_WORD_DATA: {
        const bool word = request.size == I2C_SMBUS_WORD_DATA;
        e.text = std::string(reading ? "read-" : "write-") + (word ? "word-data" : "byte-data");
        if (!reading) {
            e.bytes = {command, static_cast<uint8_t>(word ? block->word & 0xFF : block->byte)};
            if (word) e.bytes.push_back(static_cast<uint8_t>(block->word >> 8));
            err = write(cl, e.bytes);
        } else {
            err = write(cl, {command});
            if (!err) err = read(cl, word ? 2 : 1, reply);
            if (!err && word) block->word = static_cast<uint16_t>(reply[0] | reply[1] << 8);
            if (!err && !word) block->byte = reply[0];
            e.bytes = reply;
        }
        break;
    }
    case I2C_SMBUS_PROC_CALL:
    case I2C_SMBUS_BLOCK_DATA:
    case I2C_SMBUS_I2C_BLOCK_BROKEN:
    case I2C_SMBUS_BLOCK_PROC_CALL:
    case I2C_SMBUS_I2C_BLOCK_DATA:
        e.text = "size " + std::to_string(request.size);
        err = EOPNOTSUPP;
        break;
    default:
        e.text = "size " + std::to_string(request.size);
        err = EINVAL;
        break;
    }
    finish(c, e, err ? -1 : 0, err);
    rec.add(e);
}

namespace {

gboolean on_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *c, gpointer self) {
    auto *impl = static_cast<Bus::Impl *>(self);
    std::lock_guard l(impl->m);
    Client &cl = impl->client(c);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(c);
    const unsigned long request = umockdev_ioctl_client_get_request(c);
    switch (request) {
    case I2C_SLAVE:
    case I2C_SLAVE_FORCE: {
        unsigned long address = 0;
        memcpy(&address, arg->data, std::min(sizeof address, static_cast<size_t>(arg->data_len)));
        impl->bind(c, cl, address);
        break;
    }
    case I2C_SMBUS: impl->smbus(c, cl, arg); break;
    case I2C_FUNCS: impl->funcs(c, arg); break;
    default: {
        Event e = impl->bus_event(Kind::Smbus, cl);
        char text[40];
        snprintf(text, sizeof text, "ioctl 0x%lx", request);
        e.text = text;
        finish(c, e, -1, ENOTTY);
        impl->rec.add(e);
        break;
    }
    }
    return TRUE;
}

gboolean on_read(UMockdevIoctlBase *, UMockdevIoctlClient *c, gpointer self) {
    auto *impl = static_cast<Bus::Impl *>(self);
    std::lock_guard l(impl->m);
    Client &cl = impl->client(c);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(c);
    Event e = impl->bus_event(Kind::Read, cl);
    Bytes reply;
    const int err = impl->read(cl, static_cast<size_t>(arg->data_len), reply);
    if (err) {
        finish(c, e, -1, err);
    } else {
        memcpy(arg->data, reply.data(), reply.size());
        e.bytes = reply;
        finish(c, e, static_cast<long>(reply.size()), 0);
    }
    impl->rec.add(e);
    return TRUE;
}

gboolean on_write(UMockdevIoctlBase *, UMockdevIoctlClient *c, gpointer self) {
    auto *impl = static_cast<Bus::Impl *>(self);
    std::lock_guard l(impl->m);
    Client &cl = impl->client(c);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(c);
    Event e = impl->bus_event(Kind::Write, cl);
    e.bytes.assign(arg->data, arg->data + arg->data_len);
    const int err = impl->write(cl, e.bytes);
    finish(c, e, err ? -1 : arg->data_len, err);
    impl->rec.add(e);
    return TRUE;
}

void on_connected(UMockdevIoctlBase *, UMockdevIoctlClient *c, gpointer self) {
    auto *impl = static_cast<Bus::Impl *>(self);
    std::lock_guard l(impl->m);
    impl->clients.erase(c);  // a new descriptor starts unbound
    impl->rec.add(impl->bus_event(Kind::I2cOpen, impl->client(c)));
}

void on_vanished(UMockdevIoctlBase *, UMockdevIoctlClient *c, gpointer self) {
    auto *impl = static_cast<Bus::Impl *>(self);
    std::lock_guard l(impl->m);
    impl->clients.erase(c);
}

void check(gboolean ok, GError *error, const char *what) {
    if (ok) return;
    std::string message = std::string(what) + ": " + (error ? error->message : "failed");
    g_clear_error(&error);
    throw std::runtime_error(message);
}

// Lets a process of another uid (a test's non-root run) use the nodes.
void open_up(const std::string &root) {
    namespace fs = std::filesystem;
    chmod(root.c_str(), 0755);
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it);
         it.increment(ec)) {
        if (it->is_socket(ec) || it->path().parent_path().filename() == "dev")
            chmod(it->path().c_str(), 0666);  // follows the node's link to its pty
    }
}

}  // namespace

Bus::Bus(Recorder &recorder, Board &board, const Options &options)
    : impl_(std::make_unique<Impl>(recorder, board)) {
    impl_->board_node = "/dev/i2c-" + std::to_string(options.board_bus);
    impl_->testbed = umockdev_testbed_new();
    impl_->handler = umockdev_ioctl_base_new();
    g_signal_connect(impl_->handler, "handle-ioctl", G_CALLBACK(on_ioctl), impl_.get());
    g_signal_connect(impl_->handler, "handle-read", G_CALLBACK(on_read), impl_.get());
    g_signal_connect(impl_->handler, "handle-write", G_CALLBACK(on_write), impl_.get());
    g_signal_connect(impl_->handler, "client-connected", G_CALLBACK(on_connected), impl_.get());
    g_signal_connect(impl_->handler, "client-vanished", G_CALLBACK(on_vanished), impl_.get());

    for (int n : {0, 1}) {
        if (!(n == 0 ? options.bus0 : options.bus1)) continue;
        const std::string name = "i2c-" + std::to_string(n);
        const std::string description =
            "P: /devices/platform/soc/" + name + "/i2c-dev/" + name + "\nN: " + name +
            "\nE: DEVNAME=/dev/" + name + "\nE: SUBSYSTEM=i2c-dev\n";
        GError *error = nullptr;
        check(umockdev_testbed_add_from_string(impl_->testbed, description.c_str(), &error), error,
              "umockdev: add i2c node");
        check(umockdev_testbed_attach_ioctl(impl_->testbed, ("/dev/" + name).c_str(),
                                            impl_->handler, &error),
              error, "umockdev: attach i2c node");
    }
    open_up(root());
}

Bus::~Bus() {
    if (impl_->testbed) g_object_unref(impl_->testbed);
    if (impl_->handler) g_object_unref(impl_->handler);
}

std::string Bus::root() const {
    gchar *dir = umockdev_testbed_get_root_dir(impl_->testbed);
    std::string s = dir;
    g_free(dir);
    return s;
}

}  // namespace sim
