#include "common/support/error_functions.hpp"
