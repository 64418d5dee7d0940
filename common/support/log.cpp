#include "common/support/log.hpp"
