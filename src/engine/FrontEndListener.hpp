#pragma once

#include <string>

// What the engine tells the connected front ends, whatever carries it. The engine calls these under
// its lock, after a change has been made; an implementation queues what it sends (it must never wait
// on a client here) and sends nothing when no client is connected.
class FrontEndListener {
public:
    virtual ~FrontEndListener() = default;

    // A connected client's descriptor for diagnostics (the oldest), or -1 when none is connected.
    virtual int clientDescriptor() const = 0;
    // The effect chain of a stream (-1: the master chain) changed.
    virtual void effectChainChanged(int streamId) = 0;
    // An effect left a stream's chain: the client that asked (if one did) is answered with the list
    // anyway, so only the others are told.
    virtual void effectRemoved(int streamId) = 0;
    // A master-chain request named an effect the chain lacks; the front end is sent what it asked for.
    virtual void masterEffectMissing(const std::string& effectName) = 0;
    // A device the front end may show has disappeared.
    virtual void deviceLost(int deviceId) = 0;
};
