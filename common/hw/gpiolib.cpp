// SPDX-License-Identifier: GPL-2.0-or-later
#include "common/hw/gpiolib.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#define GPIO_ROOT "/sys/class/gpio"

namespace {

constexpr int PATH_BUFFER_SIZE = 100;
constexpr char EXPORT_PATH[] = GPIO_ROOT "/export";
constexpr char UNEXPORT_PATH[] = GPIO_ROOT "/unexport";
constexpr char PROCESSOR_CHIP_LABEL[] = "pinctrl-";
// The words of the "edge" file, by GPIO_EDGE_ value.
constexpr const char *EDGE_WORDS[] = {"none", "rising", "falling", "both"};
// Bytes read of a value: a digit and its line end, as gpio_read.
constexpr size_t VALUE_READ_SIZE = 3;

// Writes one short text to a sysfs file; each failure has its own message,
// or none where it is null (errno tells why all the same).
int write_text(const char *path, const char *text, const char *open_failed,
               const char *write_failed) {
    int fd = open(path, O_WRONLY);
    if (fd < 0) {
        if (open_failed != nullptr) perror(open_failed);
        return -1;
    }
    ssize_t written = write(fd, text, strlen(text));
    int saved_errno = errno;
    close(fd);
    if (written < 0) {
        errno = saved_errno;
        if (write_failed != nullptr) perror(write_failed);
        return -1;
    }
    return 0;
}

// Writes the line number to the export or unexport control file.
int write_line_number(const char *control, int pin, const char *open_failed,
                      const char *write_failed) {
    char number[PATH_BUFFER_SIZE];
    snprintf(number, sizeof number, "%d", pin);
    return write_text(control, number, open_failed, write_failed);
}

// Writes one short text to a file of the exported line.
int write_line_file(const char *file, int pin, const char *text, const char *open_failed,
                    const char *write_failed) {
    char path[PATH_BUFFER_SIZE];
    gpio_line_path(pin, file, path, sizeof path);
    return write_text(path, text, open_failed, write_failed);
}

// Reads a small text file of a GPIO chip folder; false when it cannot.
bool read_chip_file(const char *chip, const char *file, char *text, size_t size) {
    char path[PATH_BUFFER_SIZE * 3];
    snprintf(path, sizeof path, "%s/%s/%s", GPIO_ROOT, chip, file);
    int fd = open(path, O_RDONLY);
    if (fd < 0) {
        return false;
    }
    ssize_t got = read(fd, text, size - 1);
    close(fd);
    if (got < 0) {
        return false;
    }
    text[got] = '\0';
    return true;
}

}  // namespace

// The German perror texts are part of the programs' fixed interface: users
// and their log filters know them as they are.
int gpio_export(int pin) {
    return write_line_number(EXPORT_PATH, pin, "Kann nicht auf export schreiben!\n",
                             "Kann Pin nicht aktivieren!\n");
}

int gpio_unexport(int pin) {
    return write_line_number(UNEXPORT_PATH, pin, "Kann nicht auf unexport schreiben!\n",
                             "Kann Pin nicht deaktivieren!\n");
}

int gpio_direction(int pin, int direction) {
    const char *open_failed = "Kann Datenrichtung nicht setzen (open)!\n";
    const char *write_failed = "Kann Datenrichtung nicht setzen (write)!\n";
    if (direction != GPIO_IN && direction != GPIO_OUT) {
        // Anything else would be written as "out" by a lax caller; refuse it.
        errno = EINVAL;
        perror(write_failed);
        return -1;
    }
    return write_line_file("direction", pin, direction == GPIO_IN ? "in" : "out", open_failed,
                           write_failed);
}

int gpio_write(int pin, int value) {
    const char *open_failed = "Kann auf GPIO nicht schreiben (open)!\n";
    const char *write_failed = "Kann auf GPIO nicht schreiben (write)!\n";
    if (value != 0 && value != 1) {
        errno = EINVAL;
        perror(write_failed);
        return -1;
    }
    return write_line_file("value", pin, value == 0 ? "0" : "1", open_failed, write_failed);
}

int gpio_read(int pin) {
    char path[PATH_BUFFER_SIZE];
    char value[PATH_BUFFER_SIZE];
    memset(value, 0, sizeof value);
    gpio_line_path(pin, "value", path, sizeof path);
    int fd = open(path, O_RDONLY);
    if (fd < 0) {
        perror("Kann vom GPIO nicht lesen (open)!\n");
        return -1;
    }
    ssize_t got = read(fd, value, 3);
    int saved_errno = errno;
    close(fd);
    if (got < 0) {
        errno = saved_errno;
        perror("Kann vom GPIO nicht lesen (read)!\n");
        return -1;
    }
    return atoi(value);
}

int gpio_edge(int pin, int edge) {
    if (edge < GPIO_EDGE_NONE || edge > GPIO_EDGE_BOTH) {
        errno = EINVAL;
        return -1;
    }
    return write_line_file("edge", pin, EDGE_WORDS[edge], nullptr, nullptr);
}

int gpio_value_open(int pin) {
    char path[PATH_BUFFER_SIZE];
    gpio_line_path(pin, "value", path, sizeof path);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        perror("Cannot open the GPIO value file");
    }
    return fd;
}

int gpio_value_read(int fd) {
    // sysfs gives a file's text afresh only to a read from its start.
    char value[VALUE_READ_SIZE + 1] = {};
    ssize_t got = -1;
    if (lseek(fd, 0, SEEK_SET) == 0) {
        got = read(fd, value, VALUE_READ_SIZE);
    }
    if (got < 0) {
        perror("Cannot read the GPIO value");
        return -1;
    }
    return atoi(value);
}

int gpio_value_close(int fd) {
    if (close(fd) != 0) {
        perror("Cannot close the GPIO value file");
        return -1;
    }
    return 0;
}

void gpio_line_path(int pin, const char *file, char *path, size_t size) {
    snprintf(path, size, GPIO_ROOT "/gpio%d/%s", pin, file);
}

int gpio_kernel_number(int processor_line) {
    DIR *root = opendir(GPIO_ROOT);
    if (root == nullptr) {
        return processor_line;
    }
    int number = processor_line;
    struct dirent *entry;
    while ((entry = readdir(root)) != nullptr) {
        if (strncmp(entry->d_name, "gpiochip", 8) != 0) {
            continue;
        }
        char label[PATH_BUFFER_SIZE];
        char base[PATH_BUFFER_SIZE];
        if (read_chip_file(entry->d_name, "label", label, sizeof label) &&
            strncmp(label, PROCESSOR_CHIP_LABEL, strlen(PROCESSOR_CHIP_LABEL)) == 0 &&
            read_chip_file(entry->d_name, "base", base, sizeof base)) {
            number = atoi(base) + processor_line;
            break;
        }
    }
    closedir(root);
    return number;
}
