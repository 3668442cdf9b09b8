#include "app/SerialCmdQ.h"

#include <cstring>

#include "app/QueueSignal.h"

MsgQRec MsgQ;

static int32_t NextSlot(int32_t index) {
    return index + 1 >= MSGQ_SLOTS ? 0 : index + 1;
}

int EnqueueThreadMsg(int kind, const char* text, uint32_t message, int parse, void* result,
                     size_t resultSize) {
    // Only this thread writes tail, so a relaxed load is enough; head needs acquire so the
    // consumer has finished with the slot before we overwrite it.
    int32_t tail = MsgQ.tail.load(std::memory_order_relaxed);
    int32_t next = NextSlot(tail);
    if (next == MsgQ.head.load(std::memory_order_acquire)) {
        return 0;
    }

    char* slotText = MsgQ.text[tail];
    size_t length = 0;
    if (text != nullptr) {
        while (length < MSGQ_TEXT_SIZE - 1 && text[length] != '\0') {
            ++length;
        }
        memcpy(slotText, text, length);
    }
    slotText[length] = '\0';

    MsgQ.kind[tail] = kind;
    MsgQ.message[tail] = message;
    MsgQ.parse[tail] = parse;
    MsgQ.result[tail] = result;
    MsgQ.resultSize[tail] = resultSize > UINT32_MAX ? UINT32_MAX : (uint32_t)resultSize;

    // Publishing the tail last, with release, is what makes the slot's fields visible to
    // the worker before it can see the entry.
    MsgQ.tail.store(next, std::memory_order_release);
    // After the tail: a worker woken by this finds the entry there.
    SignalQueueWaiter();
    return 1;
}

int DequeueThreadMsg(int* kind, char** text, uint32_t* message, int* parse, void** result,
                     size_t* resultSize) {
    int32_t head = MsgQ.head.load(std::memory_order_relaxed);
    if (head == MsgQ.tail.load(std::memory_order_acquire)) {
        return 0;
    }

    *kind = MsgQ.kind[head];
    *text = MsgQ.text[head];
    *message = MsgQ.message[head];
    *parse = MsgQ.parse[head];
    *result = MsgQ.result[head];
    if (resultSize != nullptr) {
        *resultSize = MsgQ.resultSize[head];
    }

    // The slot may be reused by the producer as soon as it sees the new head.
    MsgQ.head.store(NextSlot(head), std::memory_order_release);
    return 1;
}

void ClearMsgQueue() {
    MsgQ.head.store(0, std::memory_order_release);
    MsgQ.tail.store(0, std::memory_order_release);
}
