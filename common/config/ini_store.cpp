#include "common/config/ini_store.hpp"
