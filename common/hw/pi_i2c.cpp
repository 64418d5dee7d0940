#include "common/hw/pi_i2c.hpp"
