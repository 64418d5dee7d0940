// SPDX-License-Identifier: GPL-2.0-or-later
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/hw/ups_protocol.hpp"

namespace {

std::string format2(double value) {
    char text[32];
    snprintf(text, sizeof text, "%3.2f", value);
    return text;
}

struct BatteryCase {
    int32_t raw;
    uint8_t state;
    ups_battery_display display;
    const char *capacity;  // as shown with %3.2f, when measured
    const char *volts;
};

TEST(UpsDecoding, BatteryThresholdsFallBetweenTheDocumentedRawValues) {
    const BatteryCase cases[] = {
        {782, 0, BATTERY_FULL, nullptr, nullptr},
        {781, 0, BATTERY_MEASURED, "99.14", "4.19"},
        {671, 0, BATTERY_MEASURED, "0.67", "3.60"},
        {670, 0, BATTERY_EMPTY, nullptr, "3.60"},
        {745, 0, BATTERY_MEASURED, "66.91", "4.00"},
        {700, 1, BATTERY_FULL, nullptr, nullptr},
        {782, 2, BATTERY_NOT_AVAILABLE, nullptr, nullptr},
        {0, 3, BATTERY_EMPTY, nullptr, "0.00"},
    };
    for (const BatteryCase &c : cases) {
        SCOPED_TRACE(c.raw);
        double volts = ups_battery_volts(c.raw);
        EXPECT_EQ(ups_battery_classify(c.state, volts), c.display);
        if (c.capacity != nullptr) {
            EXPECT_EQ(format2(ups_battery_capacity(volts)), c.capacity);
        }
        if (c.volts != nullptr) {
            EXPECT_EQ(format2(volts), c.volts);
        }
    }
}

TEST(UpsDecoding, SixteenBitValuesAreUnsignedLittleEndian) {
    const uint8_t reply[] = {0xD2, 0x58, 0x02, 0x00};
    EXPECT_EQ(ups_reply_value16(reply), 600);
    const uint8_t highest[] = {0xD0, 0xFF, 0xFF};
    EXPECT_EQ(ups_reply_value16(highest), 65535);
}

TEST(UpsDecoding, InputVoltageIsMillivoltsOverAThousand) {
    EXPECT_EQ(format2(ups_input_volts(500)), "0.50");
    EXPECT_EQ(format2(ups_input_volts(5123)), "5.12");
    EXPECT_DOUBLE_EQ(ups_input_volts(65535), 65.535);
}

TEST(UpsDecoding, ChargingCurrentCodesMapBothWaysAndUnknownCodesAreRefused) {
    const int codes[][2] = {{0, 1000}, {1, 500}, {2, 300}};
    for (const auto &pair : codes) {
        EXPECT_EQ(ups_charge_current_ma(pair[0]), pair[1]);
        EXPECT_EQ(ups_charge_current_code(pair[1]), pair[0]);
    }
    EXPECT_EQ(ups_charge_current_ma(3), -1);
    EXPECT_EQ(ups_charge_current_ma(255), -1);
    EXPECT_EQ(ups_charge_current_code(400), -1);
    EXPECT_EQ(ups_charge_current_code(0), -1);
}

TEST(UpsDecoding, OnlyBasicModelsLackTheExternalCurrentMeasurement) {
    for (int model = 0; model < 8; ++model) {
        EXPECT_EQ(ups_model_measures_extern_current(model), model != 1 && model != 5) << model;
    }
}

// A board on the far end of a socket pair answering with scripted echoes.
class ScriptedBoard {
  public:
    explicit ScriptedBoard(std::vector<uint8_t> echoes) : echoes_(std::move(echoes)) {
        socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ends_);
        thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedBoard() {
        shutdown(ends_[0], SHUT_RDWR);
        thread_.join();
        close(ends_[0]);
        close(ends_[1]);
    }
    int host_end() const { return ends_[0]; }
    const std::vector<std::vector<uint8_t>> &requests() const { return requests_; }

  private:
    void serve() {
        uint8_t request[16];
        for (uint8_t echo : echoes_) {
            ssize_t got = read(ends_[1], request, sizeof request);
            if (got <= 0) {
                return;
            }
            requests_.emplace_back(request, request + got);
            uint8_t reply[6] = {echo, 1, 2, 3, 4, 5};
            if (write(ends_[1], reply, sizeof reply) < 0) {
                return;
            }
        }
    }
    std::vector<uint8_t> echoes_;
    std::vector<std::vector<uint8_t>> requests_;
    int ends_[2];
    std::thread thread_;
};

std::vector<unsigned> pauses;
void record_pause(unsigned microseconds) {
    pauses.push_back(microseconds);
}
const ups_waiting recorded = {record_pause, 5000000, BUS_GO_AHEAD};

TEST(UpsExchange, WrongEchoesResendTheSameRequestAfterTheSameWait) {
    pauses.clear();
    std::vector<uint8_t> echoes(3, 0x00);
    echoes.push_back(CMD_SET_CHARGE_CURRENT);
    std::vector<std::vector<uint8_t>> requests;
    {
        ScriptedBoard board(echoes);
        buffer_out[1] = 0x01;
        EXPECT_EQ(ups_exchange(board.host_end(), CMD_SET_CHARGE_CURRENT, UPS_SEND_PLAIN,
                               UPS_PACE_ALONE, 5, 1, recorded),
                  UPS_ANSWERED);
        requests = board.requests();
    }
    ASSERT_EQ(requests.size(), 4u);
    for (const auto &request : requests) {
        EXPECT_EQ(request, (std::vector<uint8_t>{0x37, 0x01}));
    }
    EXPECT_EQ(pauses, std::vector<unsigned>(4, 1000u));
    EXPECT_EQ(buffer_in[0], CMD_SET_CHARGE_CURRENT);
}

TEST(UpsExchange, GivesUpAfterTheRetryLimitPlusOneAttempts) {
    pauses.clear();
    ScriptedBoard board(std::vector<uint8_t>(20, 0xEE));
    EXPECT_EQ(ups_exchange(board.host_end(), CMD_INPUT_VOLTAGE, UPS_SEND_PLAIN, UPS_PACE_STATUS, 4,
                           1, recorded),
              UPS_TIMED_OUT);
    EXPECT_EQ(pauses, std::vector<unsigned>(5, 100000u)) << "the status box's pace";
}

// Only three readings are paced differently inside the status box; a byte
// outside the command set is sent alone, with nothing to wait for.
TEST(UpsCommandTable, PacingDiffersOnlyForTheThreeStatusReadings) {
    for (int byte = 0; byte < 256; byte++) {
        const auto command = static_cast<uint8_t>(byte);
        const bool status_reading = command == CMD_INPUT_VOLTAGE ||
                                    command == CMD_EXTERN_CURRENT || command == CMD_BATTERY_CURRENT;
        SCOPED_TRACE(byte);
        if (status_reading) {
            EXPECT_EQ(ups_wait(command, UPS_PACE_ALONE), 20000u);
            EXPECT_EQ(ups_wait(command, UPS_PACE_STATUS), 100000u);
        } else {
            EXPECT_EQ(ups_wait(command, UPS_PACE_ALONE), ups_wait(command, UPS_PACE_STATUS));
        }
    }
    EXPECT_EQ(ups_reply_length(0x00), 0);
    EXPECT_EQ(ups_request_length(0x00), 1);
    EXPECT_EQ(ups_request_length(CMD_TIME_RECORD), 10);
}

// Each failed read is one more attempt, after the same wait, until the
// limit of failures in a row is reached.
TEST(UpsExchange, FailedReadsEndTheExchangeAtTheirLimit) {
    for (int limit : {1, 5}) {
        pauses.clear();
        EXPECT_EQ(ups_exchange(-1, CMD_BUTTON_QUERY, UPS_SEND_PLAIN, UPS_PACE_ALONE, 1000, limit,
                               recorded),
                  UPS_READ_FAILED);
        EXPECT_EQ(pauses, std::vector<unsigned>(static_cast<size_t>(limit), 1000000u)) << limit;
    }
}

}  // namespace
