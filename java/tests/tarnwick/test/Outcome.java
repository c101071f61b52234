package tarnwick.test;

import java.util.ArrayList;
import java.util.List;
import java.util.function.BiConsumer;

/** A completion that records every call it receives, with the thread it ran on. */
public final class Outcome<T> implements BiConsumer<T, Throwable> {
    /** One call of the completion. */
    public static final class Call<T> {
        public final T result;
        public final Throwable failure;
        public final Thread thread;

        Call(T result, Throwable failure, Thread thread) {
            this.result = result;
            this.failure = failure;
            this.thread = thread;
        }
    }

    private final List<Call<T>> calls = new ArrayList<>();

    @Override
    public void accept(T result, Throwable failure) {
        synchronized (calls) {
            calls.add(new Call<>(result, failure, Thread.currentThread()));
        }
    }

    public int count() {
        synchronized (calls) {
            return calls.size();
        }
    }

    /** The only call so far; fails unless exactly one has happened. */
    public Call<T> only() {
        synchronized (calls) {
            if (calls.size() != 1) {
                throw new AssertionError("expected exactly one completion, got " + calls.size());
            }
            return calls.get(0);
        }
    }
}
