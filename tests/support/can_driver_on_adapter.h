#pragma once
#include <cstdint>
#include <memory>

#include "can_driver_peer.h"
#include "emulated_gs_usb_adapter.h"

// A started simulated driver on the bus of an emulated gs_usb adapter, answering to
// `motor_id`: what the tool sends through the adapter reaches the driver and its
// replies come back through the adapter. Clear the adapter's bus listener before
// the returned peer goes.
inline std::unique_ptr<CanDriverPeer> start_can_driver_on(const std::shared_ptr<EmulatedGsUsbAdapter>& adapter,
                                                          uint8_t motor_id) {
    // The peer answers on the adapter's thread, inside the listener: the adapter is alive.
    auto peer = std::make_unique<CanDriverPeer>([a = adapter.get()](const CanFrame& frame) { a->deliver(frame); });
    peer->set_motor_id(motor_id);
    peer->start();
    CanDriverPeer* listener = peer.get();
    adapter->set_bus_listener([listener](const CanFrame& frame) { listener->on_host_frame(frame); });
    return peer;
}
