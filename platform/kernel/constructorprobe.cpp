// A driver with a global object whose constructor runs code: what the
// image check must refuse, since no kernel runs such constructors.
struct Counter {
    Counter();
    long Value;
};

Counter::Counter() : Value(1) {}

Counter counter;

extern "C" long __attribute__((__stdcall__)) DriverEntry(void *, void *)
{
    return counter.Value;
}
