#include "common/support/create_pid_file.hpp"
