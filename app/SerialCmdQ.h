// The command queue: the one channel by which the user-interface thread (only producer)
// hands requests to the worker thread (only consumer). A fixed ring of 1000 slots, one
// always left free; no lock, no allocation.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

constexpr int MSGQ_SLOTS = 1000;
constexpr int MSGQ_TEXT_SIZE = 256;

// Request kinds.
constexpr int REQUEST_ASCII = 0;
constexpr int REQUEST_FLOW_VALUES = 1;
constexpr int REQUEST_BOARD_STATE = 2;

// How an ASCII reply is stored at the result address.
constexpr int PARSE_TEXT = 0;
constexpr int PARSE_INT = 1;
constexpr int PARSE_FLOAT = 2;
constexpr int PARSE_HEX = 3;

struct MsgQRec {
    std::atomic<int32_t> head; // next entry to take (consumer writes)
    std::atomic<int32_t> tail; // next free slot (producer writes)
    int32_t kind[MSGQ_SLOTS];
    char text[MSGQ_SLOTS][MSGQ_TEXT_SIZE];
    uint32_t message[MSGQ_SLOTS];
    int32_t parse[MSGQ_SLOTS];
    void* result[MSGQ_SLOTS];
    // Capacity in bytes of a text result target (parse kind 0); 0 when the target is not
    // text, in which case a text reply is not stored.
    uint32_t resultSize[MSGQ_SLOTS];
};

extern MsgQRec MsgQ;

// 1 when the request was queued; 0 when the queue is full and the request was dropped.
int EnqueueThreadMsg(int kind, const char* text, uint32_t message, int parse, void* result,
                     size_t resultSize = 0);
// Takes the oldest entry (consumer side). *text points into the entry's slot, not a copy: it
// stays valid until the next DequeueThreadMsg or ClearMsgQueue. That holds because the ring
// keeps one slot free: once head has moved past the slot just taken, the producer's next free
// slot stops short of it (a full ring ends one slot before head), so nothing writes there
// until head moves again.
int DequeueThreadMsg(int* kind, char** text, uint32_t* message, int* parse, void** result,
                     size_t* resultSize = nullptr);
void ClearMsgQueue();
