// A gs_usb adapter whose descriptors, control replies and bulk reads are fuzzed bytes,
// driven through the candle library from scan to close.
#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <vector>

#include "candle_library.h"
#include "fuzz_check.h"
#include "usb_backend.h"

using namespace hv::usb;

namespace {
const uint8_t* in = nullptr;
size_t left = 0;
uint8_t take() { return left > 0 ? (--left, *in++) : 0; }
UsbStatus status_of(uint8_t byte) { return byte < 0xF0 ? UsbStatus::ok : static_cast<UsbStatus>(byte % 9); }
size_t count_of(uint8_t byte, size_t length) { return byte & 0x80 ? byte % (length + 1) : length; }

struct Read { uint8_t* buffer; size_t length; ReadDone done; };
std::deque<Read> pending;                         // queued reads, completed in order
std::map<uint8_t, std::vector<uint8_t>> replies;  // last reply to each control request

struct Connection : UsbConnection {
    InterfaceInfo interface_info() override {
        InterfaceInfo info;
        info.endpoints = {{0x81, 2, 32, 0}, {0x02, 2, 32, 0}};
        const uint8_t odd = take();  // now and then a strange endpoint list
        if (odd >= 0xF0) info.endpoints.resize(odd % 4);
        if (odd >= 0xFC) info.endpoints.push_back({take(), take(), 32, 0});
        return info;
    }
    UsbStatus control_transfer(uint8_t type, uint8_t request, uint16_t, uint16_t, uint8_t* data,
                               uint16_t length, size_t& transferred, unsigned) override {
        transferred = count_of(take(), length);
        for (size_t i = 0; (type & 0x80) && i < transferred; ++i) data[i] = take();
        if (type & 0x80) replies[request].assign(data, data + transferred);
        return status_of(take());
    }
    UsbStatus bulk_write(uint8_t, const uint8_t*, size_t length, size_t& transferred, unsigned) override {
        transferred = count_of(take(), length);
        return status_of(take());
    }
    UsbStatus submit_read(uint8_t, uint8_t* buffer, size_t length, ReadDone done) override {
        const UsbStatus status = status_of(take());
        if (status == UsbStatus::ok) pending.push_back({buffer, length, std::move(done)});
        return status;
    }
    void cancel_reads() override {
        for (; !pending.empty(); pending.pop_front()) pending.front().done(UsbStatus::cancelled, 0);
    }
    void close() override { cancel_reads(); }
};

struct Backend : UsbBackend {
    std::vector<std::string> list_gs_usb_interfaces() override { return {make_interface_path(0x1d50, 0x606f, 0, "f")}; }
    std::shared_ptr<UsbConnection> open_interface(const std::string&, UsbStatus& status) override {
        status = UsbStatus::ok;
        return std::make_shared<Connection>();
    }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    [[maybe_unused]] static const bool installed = (set_usb_backend(std::make_shared<Backend>()), true);
    in = data, left = size;
    candle_list* list = nullptr;
    candle_device* device = nullptr;
    FUZZ_CHECK(candle_scan_devices(&list) && list->count == 1 && candle_get_device(list, 0, &device));
    if (candle_open_device(device)) {
        // The record holds what the adapter said at open.
        FUZZ_CHECK(std::memcmp(&device->config, replies[5].data(), sizeof device->config) == 0);
        FUZZ_CHECK(std::memcmp(&device->limits, replies[4].data(), sizeof device->limits) == 0);
        candle_set_bitrate(device, 0, 1000000);
        candle_start_channel(device, 0, 0);
        std::deque<std::pair<bool, std::vector<uint8_t>>> completed;  // reads done, not yet fetched
        for (candle_host_frame frame{}; left > 0;) {
            const uint8_t op = take() % 3;
            if (op == 0 && !pending.empty()) {
                const Read read = std::move(pending.front());
                pending.pop_front();
                const bool ok = take() < 0xF0;
                std::vector<uint8_t> bytes(take() % (read.length + 1));
                for (uint8_t& b : bytes) b = take();
                std::copy(bytes.begin(), bytes.end(), read.buffer);
                read.done(ok ? UsbStatus::ok : UsbStatus::io_error, bytes.size());
                completed.emplace_back(ok, std::move(bytes));
            } else if (op == 1) {
                // One completed read a call, in order; a frame only from one long enough,
                // without the timestamp when the transfer stopped short of it.
                const bool got = candle_read_frame(device, &frame, 0);
                FUZZ_CHECK(!completed.empty() || (!got && candle_device_last_error(device) == kCandleErrReadTimeout));
                if (completed.empty()) continue;
                const auto [ok, bytes] = completed.front();
                completed.pop_front();
                FUZZ_CHECK(got == (ok && bytes.size() >= 20));
                FUZZ_CHECK(!got || std::memcmp(&frame, bytes.data(), bytes.size() >= 24 ? 24 : 20) == 0);
                FUZZ_CHECK(!got || bytes.size() >= 24 || frame.timestamp_us == 0);
            } else if (op == 2) {
                candle_send_frame(device, 0, &frame);
            }
        }
    }
    candle_free_device(device);
    candle_free_device_list(list);
    FUZZ_CHECK(pending.empty());  // closing ended every read
    return 0;
}
