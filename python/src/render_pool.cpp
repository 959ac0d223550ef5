// render_many's workers: threads of the library's own that convert batches of
// documents without ever taking the interpreter lock.
//
// The Python side submits batches (lists of documents) and takes their
// results back in the order it submitted them. Converting threads pick
// documents one at a time from the oldest batch that has any left, so two
// threads share even a batch of one long and many short documents, and a
// batch is finished while the next ones are converted. The thread that takes
// the results is one of the converting threads: while the batch it waits for
// is not finished it converts documents itself, so a pool of N threads keeps N
// cores busy and no more. Only submit and take touch Python objects, with the
// lock held; the workers see nothing but bytes, so the thread that reads the
// results never waits for a worker to hand the lock back, and the workers
// never wait for it.
#include "bindings.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace {

class render_pool {
public:
    render_pool(unsigned threads, int format, unsigned flags, const std::optional<std::string> &link_template,
                const std::optional<std::string> &rel)
        : options_(flags, link_template, rel), format_(format)
    {
        if (threads == 0) throw py::value_error("threads must be a positive integer");
        // The thread that takes the results converts too while it waits, so
        // one thread fewer is started.
        try {
            for (unsigned i = 1; i < threads; ++i) workers_.emplace_back([this] { work(); });
        } catch (const std::system_error &) {
            // Fewer threads than asked still convert everything.
        }
    }
    render_pool(const render_pool &) = delete;
    render_pool &operator=(const render_pool &) = delete;
    ~render_pool() { stop(); }

    // Queues the documents of a list for conversion (lock held).
    void submit(const py::list &docs)
    {
        auto b = std::make_unique<batch>();
        b->docs.reserve(docs.size());
        for (py::handle d : docs) b->docs.push_back(std::make_unique<document>(d));
        b->out.resize(b->docs.size());
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) throw std::runtime_error("the pool is closed");
            if (b->docs.empty()) b->finished = true;
            batches_.push_back(std::move(b));
        }
        work_ready_.notify_all();
    }

    // The results of the oldest batch not yet taken, each of its document's
    // type; waits for them with the lock released.
    py::list take()
    {
        std::unique_ptr<batch> b;
        {
            py::gil_scoped_release nogil;
            std::unique_lock<std::mutex> lock(mutex_);
            while (!batches_.empty() && !batches_.front()->finished) {
                if (batch *open = open_batch()) convert_one(lock, open);
                else batch_done_.wait(lock);
            }
            if (!batches_.empty()) {
                b = std::move(batches_.front());
                batches_.pop_front();
            }
        }
        if (!b) throw std::runtime_error("no batch is waiting to be taken");
        if (b->status != WTCORE_OK) raise_status(b->status);
        const size_t n = b->docs.size();
        py::list results(n);
        for (size_t i = 0; i < n; ++i) {
            const result &r = b->out[i];
            py::object o = make_string(r.data.get(), r.size, b->docs[i]->is_text());
            PyList_SET_ITEM(results.ptr(), Py_ssize_t(i), o.release().ptr());
        }
        return results;
    }

    // Stops the workers and drops what was not taken (lock held: the
    // documents are released here).
    void stop()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        work_ready_.notify_all();
        // The workers never take the interpreter lock, so they finish their
        // current document and return while this thread holds it.
        for (std::thread &t : workers_) t.join();
        workers_.clear();
        batches_.clear();
    }

private:
    struct result {
        result_ptr data;
        size_t size = 0;
    };
    struct batch {
        std::vector<std::unique_ptr<document>> docs;
        std::vector<result> out;
        size_t next = 0; // the next document to hand out
        size_t done = 0; // documents converted (or skipped after a failure)
        int status = WTCORE_OK;
        bool finished = false;
    };

    // The oldest batch with a document not yet handed out (mutex held).
    batch *open_batch()
    {
        for (const auto &b : batches_)
            if (b->next < b->docs.size()) return b.get();
        return nullptr;
    }

    // Converts the next document of a batch; called and returning with the
    // mutex held, which is released during the conversion.
    void convert_one(std::unique_lock<std::mutex> &lock, batch *b)
    {
        const size_t i = b->next++;
        const document &doc = *b->docs[i];
        lock.unlock();
        char *p = nullptr;
        size_t n = 0;
        const int status = wtcore_render(doc.data(), doc.size(), format_, options_.get(), &p, &n);
        lock.lock();
        b->out[i].data.reset(p);
        b->out[i].size = n;
        size_t finished_now = 1;
        if (status != WTCORE_OK && b->status == WTCORE_OK) {
            // The batch fails as a whole: what is left of it is skipped.
            b->status = status;
            finished_now += b->docs.size() - b->next;
            b->next = b->docs.size();
        }
        b->done += finished_now;
        if (b->done == b->docs.size()) {
            b->finished = true;
            batch_done_.notify_all();
        }
    }

    void work()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            batch *b = nullptr;
            work_ready_.wait(lock, [&] { return stopping_ || (b = open_batch()) != nullptr; });
            if (stopping_) return;
            convert_one(lock, b);
        }
    }

    const options options_;
    const int format_;
    std::mutex mutex_;
    std::condition_variable work_ready_;
    std::condition_variable batch_done_;
    std::deque<std::unique_ptr<batch>> batches_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

} // namespace

void register_render_pool(py::module_ &m)
{
    py::class_<render_pool>(m, "_RenderPool",
                            "_RenderPool(threads, format, flags, link_template, rel): render_many's threads.")
        .def(py::init<unsigned, int, unsigned, const std::optional<std::string> &,
                      const std::optional<std::string> &>(),
             py::arg("threads"), py::arg("format"), py::arg("flags"), py::arg("link_template"), py::arg("rel"))
        .def("submit", &render_pool::submit, py::arg("docs"), "Queues a list of documents.")
        .def("take", &render_pool::take, "The results of the oldest batch not yet taken, in order.")
        .def("close", &render_pool::stop, "Stops the threads; results not taken are dropped.");
}
