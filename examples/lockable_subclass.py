"""A Lockable subclass: methods decorated with Lockable.locked, re-entrant calls, and
an explicit acquire/release around a compound step.

The log goes to stdout, so the warnings appear in order with the printed lines.
"""
import logging
import sys
import threading
import time

from orvex.async_.synchronize import Lockable


class Account(Lockable):
    def __init__(self, balance):
        super().__init__()  # creates the lock; Lockable.locked relies on it
        self.balance = balance

    def __str__(self):
        return "Account(%d)" % self.balance

    @Lockable.locked
    def deposit(self, amount):
        self.balance += amount
        return self.balance

    @Lockable.locked
    def withdraw(self, amount):
        if amount > self.balance:
            raise ValueError("insufficient funds")
        self.balance -= amount
        return self.balance

    @Lockable.locked
    def pay_fee(self, fee):
        # Calls another locked method while holding the lock: the lock is re-entrant,
        # so this neither waits nor logs.
        return self.withdraw(fee)


def main():
    logging.basicConfig(stream=sys.stdout, level=logging.WARNING,
                        format="%(levelname)s %(name)s: %(message)s")
    account = Account(100)
    print("after fee:", account.pay_fee(5))

    depositors = [threading.Thread(target=account.deposit, args=(10,)) for _ in range(3)]
    account.acquire()
    try:
        # An audit that must see no deposit half-way: the depositors wait meanwhile.
        for thread in depositors:
            thread.start()
        time.sleep(0.5)
        print("audited balance:", account.balance)
    finally:
        account.release()
    for thread in depositors:
        thread.join()
    print("after deposits:", account.balance)

    try:
        account.withdraw(1000)
    except ValueError as exc:
        print("refused:", exc)
    print("lock free again:", account.acquire(block=False))
    account.release()


if __name__ == "__main__":
    main()
