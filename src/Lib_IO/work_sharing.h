// How a kernel lets threads left idle join its work: the kernel offers a SharedWork while it runs
// it, and whoever owns the threads (the worker pool) lets idle ones call help().
#ifndef WORK_SHARING_H
#define WORK_SHARING_H

// Work that threads left idle may join while its owner runs it: help() takes units of the work
// until none is left to take (possibly waiting for units to become ready) and returns; once
// exhausted() is true, help() has nothing more to give.
class SharedWork {
  public:
    virtual ~SharedWork() = default;
    virtual void help() = 0;
    virtual bool exhausted() const = 0;
};

// Where the owner of shared work announces it: after offer(w), idle threads may call w->help();
// withdraw(w) returns once no thread is inside w->help() and none will enter it again.
class WorkSharing {
  public:
    virtual ~WorkSharing() = default;
    virtual void offer(SharedWork* work) = 0;
    virtual void withdraw(SharedWork* work) = 0;
    // Whether the threads that join run on processors of their own. Work whose units wait for
    // one another (a pipeline) is offered only then: a waiting unit would otherwise hold up the
    // thread it waits for.
    virtual bool dedicated_processors() const { return true; }
};

#endif
