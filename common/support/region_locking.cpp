#include "common/support/region_locking.hpp"
