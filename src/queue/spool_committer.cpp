#include "queue/spool_committer.h"

#include "queue/queue_folder.h"

namespace lumenpost {

SpoolCommitter::SpoolCommitter(std::string folder, int threads) : folderSync_(std::move(folder)) {
    for (int i = 0; i < threads; ++i) {
        threads_.emplace_back([this] { Work(); });
    }
}

SpoolCommitter::~SpoolCommitter() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& thread : threads_) {
        thread.join();
    }
}

void SpoolCommitter::Commit(std::unique_ptr<SpoolFile> spool, Envelope envelope, Done done) {
    {
        const std::lock_guard lock(mutex_);
        jobs_.push_back({std::move(spool), std::move(envelope), std::move(done)});
    }
    wake_.notify_one();
}

void SpoolCommitter::Work() {
    for (;;) {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) {
            return; // stopping, and nothing handed over is left undone
        }
        Job job = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();
        std::optional<std::string> error = job.spool->Commit(job.envelope, folderSync_);
        job.spool.reset();
        job.done(std::move(error));
    }
}

} // namespace lumenpost
