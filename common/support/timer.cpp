#include "common/support/timer.hpp"
