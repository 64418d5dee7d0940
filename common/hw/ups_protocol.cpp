#include "common/hw/ups_protocol.hpp"
