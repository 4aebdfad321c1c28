#pragma once
// One pool of at most 50 worker threads; idle workers are parked on a stack and the last
// parked is reused first. At the limit an adder waits until a worker parks (never grows).
#include <cstddef>

using PoolTask = int (*)(void*);

struct ThreadPool;

ThreadPool* ThreadPool_Create();            // maximum 50
ThreadPool* ThreadPool_Create(int maximum);  // tests

// 0 when handed to a worker, -1 when no thread could be started. Blocks at the limit.
int ThreadPool_AddTask(ThreadPool* pool, PoolTask task, void* arg);
// As AddTask but never blocks: -1 at once when every worker is busy at the limit (for event
// threads, which must not stall).
int ThreadPool_TryAddTask(ThreadPool* pool, PoolTask task, void* arg);

// Whether the calling thread is one of a pool's workers (a loop run as a pool task counts too;
// see OS_OnEventThread).
bool ThreadPool_OnWorker();

// Introspection for tests and the local API.
int ThreadPool_LiveCount(ThreadPool* pool);
int ThreadPool_IdleCount(ThreadPool* pool);
