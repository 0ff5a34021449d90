#include "async/time_worker.h"

namespace holm::async {

CAsyncImplObjectTime::CAsyncImplObjectTime(PluginCallGate& gate, ElementLifetimes& lifetimes,
                                           AsyncClock& clock)
    : CAsyncImplObject(gate, lifetimes), clock_(clock) {}

CAsyncImplObjectTime::~CAsyncImplObjectTime() {
    stopThread();
}

uint32_t CAsyncImplObjectTime::run(HlmPlg::IStopEvent* stop) {
    markDispatcherThread();
    while (clock_.waitForTick(*stop)) {
        onTick();
    }
    return 0;
}

// A fireNow element leaves the list when it is selected and is destroyed
// after its one delivery; a periodic element is due when more than its
// seconds have passed since its time, which is reset after each delivery.
void CAsyncImplObjectTime::onTick() {
    const int64_t current = clock_.nowSeconds();
    std::vector<CHlmPlgAsyncElem*> now;
    std::vector<CHlmPlgAsyncElem*> periodic;
    for (CHlmPlgAsyncElem* element : pickForDelivery([&](const CHlmPlgAsyncElem& element) {
             if (element.kind == ElementKind::Now) {
                 return Pick::DeliverAndTake;
             }
             if (element.kind == ElementKind::AfterNSec) {
                 const auto seconds =
                     static_cast<const CHlmPlgAsyncElemAfterNSec&>(element).seconds;
                 if (current > element.time + static_cast<int64_t>(seconds)) {
                     return Pick::Deliver;
                 }
             }
             return Pick::Skip;
         })) {
        (element->kind == ElementKind::Now ? now : periodic).push_back(element);
    }
    // Doomed before the delivery: whoever ends the last delivery (this
    // thread, or a cancel waiting for it) destroys it exactly once.
    lifetimes().retire(now, false);
    deliverAll(now);
    for (CHlmPlgAsyncElem* element : periodic) {
        (void)element->owner->deliver(element);
        element->time = clock_.nowSeconds();
        lifetimes().release(element);
    }
}

}  // namespace holm::async
