// An async iterator fed by the connection: what the server sent, queued until
// the program takes it.

/**
 * Iterate with `for await`, or take one item with `next()`. Leaving the loop
 * early (break, return, a throw) closes the feed, and so does `close()`. When
 * the connection ends, the items that arrived before are handed out first;
 * then the iteration ends, quietly after `Client.close()`, or with the
 * connection's error when the server ended it.
 */
export class Feed<T> implements AsyncIterableIterator<T> {
  #items: T[] = [];
  #head = 0;
  #waiters: Array<{ resolve(r: IteratorResult<T>): void; reject(e: Error): void }> = [];
  #closed = false;
  // undefined while the connection lives; null when it ended quietly.
  #end: Error | null | undefined = undefined;

  get closed(): boolean {
    return this.#closed;
  }

  /** How many items wait to be taken. */
  get pending(): number {
    return this.#items.length - this.#head;
  }

  [Symbol.asyncIterator](): this {
    return this;
  }

  next(): Promise<IteratorResult<T>> {
    if (this.#closed) return Promise.resolve({ done: true, value: undefined });
    if (this.pending > 0) return Promise.resolve({ done: false, value: this.#take() });
    if (this.#end === null) return Promise.resolve({ done: true, value: undefined });
    if (this.#end) return Promise.reject(this.#end);
    return new Promise((resolve, reject) => this.#waiters.push({ resolve, reject }));
  }

  /** Called by `for await` when the loop is left early: closes the feed. */
  return(): Promise<IteratorResult<T>> {
    this.close();
    return Promise.resolve({ done: true, value: undefined });
  }

  close(): void {
    if (this.#closed) return;
    this.#closed = true;
    this.#items = [];
    this.#head = 0;
    this.onClose();
    this.#settleWaiters();
  }

  /** What closing means beyond ending the iteration. */
  protected onClose(): void {}

  /** @internal */
  _put(item: T): void {
    if (this.#closed) return;
    const waiter = this.#waiters.shift();
    if (waiter) waiter.resolve({ done: false, value: item });
    else this.#items.push(item);
  }

  /** @internal The connection ended: null quietly, or with the error to hand out. */
  _end(reason: Error | null): void {
    if (this.#end !== undefined) return;
    this.#end = reason;
    this.#settleWaiters();
  }

  #take(): T {
    const item = this.#items[this.#head];
    this.#items[this.#head++] = undefined as T;
    if (this.#head > 1024 && this.#head * 2 > this.#items.length) {
      this.#items = this.#items.slice(this.#head);
      this.#head = 0;
    }
    return item;
  }

  #settleWaiters(): void {
    // Waiters exist only while nothing is queued.
    const waiters = this.#waiters;
    this.#waiters = [];
    for (const w of waiters) {
      if (this.#closed || this.#end === null) w.resolve({ done: true, value: undefined });
      else if (this.#end) w.reject(this.#end);
    }
  }
}
