// The Server's packet operations over Transport: a packet is composed into its wire image here
// and handed to the transport, which owns every byte to and from the clients.
#include <cstring>

#include "core/Server.h"
#include "protocol/Packet.h"

std::int32_t Server::deliver(ConnectionSlot* slot, const unsigned char* image, std::int32_t size) {
  return transport.deliver(slot, image, size);
}

std::int32_t Server::deliverHeld(ConnectionSlot* slot, const unsigned char* image,
                                 std::int32_t size) {
  return transport.deliverHeld(slot, image, size);
}

std::int32_t Server::receivePacket(ConnectionSlot* slot, Packet* packet) {
  return transport.receive(slot, packet);
}

std::int32_t Server::sendPacket(ConnectionSlot* slot, Packet* packet, const char* text,
                                std::int32_t textLength) {
  unsigned char image[MAX_WIRE_SIZE];
  return deliver(slot, image, composePacket(packet, text, textLength, image));
}

std::int32_t Server::composePacket(Packet* packet, const char* text, std::int32_t textLength,
                                   unsigned char* image) {
  packet->clearPayload();
  if (text != nullptr) {
    std::size_t length =
        textLength < 0 ? std::strlen(text) + 1 : static_cast<std::size_t>(textLength);
    if (length == 0) length = 1;
    // Longer texts are cut so that the packet fits the receive buffer of every peer.
    if (length > MAX_PAYLOAD_SIZE) length = MAX_PAYLOAD_SIZE;
    if (packet->setPayload(text, static_cast<std::uint32_t>(length))) {
      packet->payload[length - 1] = PAYLOAD_END;
    }
  }
  packet->serialize(image);
  const auto size = static_cast<std::int32_t>(packet->headerSize + packet->length);
  packet->clearPayload();
  return size;
}
