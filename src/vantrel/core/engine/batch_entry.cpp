#include "batch_entry.hpp"

#include "kernel_errors.hpp"
#include "raised_exception.hpp"
#include "run_job.hpp"
#include "run_values.hpp"
#include "task_pool.hpp"

#include <climits>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <vector>

namespace vantrel::engine {

namespace {

// One variant: its job and listener while it runs, then its result or error.
struct Slot {
    RunJob job;
    std::optional<ArraySink> sink;
    std::exception_ptr failure;  // what its run threw
    Ref outcome;                 // RunResult or exception
};

std::size_t thread_count(PyObject* threads, std::size_t variants) {
    std::size_t wanted = kernel::available_cores();
    if (threads != nullptr && threads != Py_None) {
        const long long n = PyLong_Check(threads) && !PyBool_Check(threads) ? PyLong_AsLongLong(threads) : 0;
        if (n == -1 && PyErr_Occurred()) PyErr_Clear();
        if (n < 1) {
            Ref text = Ref::steal(PyObject_Repr(threads));
            PyErr_Format(PyExc_ValueError, "run_batch: threads must be a positive integer or None, got %U",
                         text.get());
            throw PyErrorSet{};
        }
        wanted = static_cast<std::size_t>(n);
    }
    return std::min(wanted, std::max<std::size_t>(variants, 1));
}

// The variant's arguments: the shared ones, then its own on top.
void read_variant(PyObject* shared, PyObject* variant, Py_ssize_t number, RunJob& job) {
    if (!PyDict_Check(variant)) {
        PyErr_Format(PyExc_TypeError, "run_batch: variant %zd must be a dict of run() arguments, got %s",
                     number, Py_TYPE(variant)->tp_name);
        throw PyErrorSet{};
    }
    Ref merged = Ref::steal(PyDict_Copy(shared));
    check_status(PyDict_Update(merged.get(), variant));
    Ref no_args = Ref::steal(PyTuple_New(0));
    read_run_arguments(no_args.get(), merged.get(), job.a);
    check_run_values(job.a);
    prepare_job(job);
}

// The variant's RunResult, or the Python error its run or its result raised.
Ref outcome_of(Slot& slot) {
    try {
        if (slot.failure) {
            if (slot.sink->failure()) return std::move(slot.sink->failure());
            try {
                std::rethrow_exception(slot.failure);
            } catch (const kernel::KernelError& e) {
                raise_run_error(e);
            } catch (const std::bad_alloc&) {
                raise_out_of_memory(slot.job.a.in.options, *slot.job.log);
            }
        }
        return finish_job(slot.job);
    } catch (const PyErrorSet&) {
    } catch (const kernel::KernelError& e) {
        try {
            raise_excursion_error(e);
        } catch (const PyErrorSet&) {
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return raised_exception();
}

// Runs one prepared variant on whichever thread takes it; no interpreter.
// (Its result is built once the batch ends: taking the interpreter here would
// wait for whichever Python thread holds it, up to its switch interval.)
void run_slot(Slot& slot) {
    kernel::Run run = run_of(slot.job, *slot.sink);
    try {
        kernel::run_bars(run);
    } catch (...) {
        slot.failure = std::current_exception();
    }
}

PyObject* run_batch_call(PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"shared", "variants", "threads", nullptr};
    PyObject *shared = nullptr, *variants = nullptr, *threads = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!O|$O:run_batch", const_cast<char**>(keywords),
                                     &PyDict_Type, &shared, &variants, &threads)) {
        throw PyErrorSet{};
    }
    Ref sequence = Ref::steal(PySequence_Fast(variants, "run_batch: variants must be a sequence of dicts"));
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
    const std::size_t workers = thread_count(threads, static_cast<std::size_t>(count));

    // Every variant read and checked with the interpreter held; one that is
    // refused keeps its error and takes no part in the run.
    std::vector<std::unique_ptr<Slot>> slots;
    slots.reserve(static_cast<std::size_t>(count));
    std::vector<Slot*> runnable;
    for (Py_ssize_t i = 0; i < count; ++i) {
        Slot& slot = *slots.emplace_back(std::make_unique<Slot>());
        try {
            read_variant(shared, PySequence_Fast_GET_ITEM(sequence.get(), i), i, slot.job);
            slot.sink.emplace(sink_for(slot.job));
            slot.sink->run_on_any_thread();
            runnable.push_back(&slot);
        } catch (const PyErrorSet&) {
            slot.outcome = raised_exception();
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            slot.outcome = raised_exception();
        }
    }

    std::vector<std::exception_ptr> lost;
    bool no_memory = false;
    PyThreadState* saved = PyEval_SaveThread();
    try {
        lost = kernel::run_tasks(runnable.size(), workers, [&](std::size_t i) { run_slot(*runnable[i]); });
    } catch (const std::bad_alloc&) {
        no_memory = true;
    }
    PyEval_RestoreThread(saved);
    if (no_memory) throw std::bad_alloc();
    for (std::size_t i = 0; i < lost.size(); ++i) {
        if (lost[i]) runnable[i]->failure = lost[i];
    }

    Ref out = Ref::steal(PyList_New(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        Slot& slot = *slots[static_cast<std::size_t>(i)];
        Ref outcome = slot.outcome ? std::move(slot.outcome) : outcome_of(slot);
        slots[static_cast<std::size_t>(i)].reset();  // its trade log and buffers go now
        PyList_SET_ITEM(out.get(), i, outcome ? outcome.release() : Py_NewRef(Py_None));
    }
    return out.release();
}

}  // namespace

PyObject* run_batch(PyObject*, PyObject* args, PyObject* kwargs) {
    return python_entry([&] { return run_batch_call(args, kwargs); });
}

}  // namespace vantrel::engine
