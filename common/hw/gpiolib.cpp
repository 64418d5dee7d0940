#include "common/hw/gpiolib.hpp"
