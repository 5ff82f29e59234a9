#pragma once
// Lists filled by static constructors while the shared object is loaded.
//
// Each registration is a static node that pushes itself to the front of its
// list with a compare-and-swap loop, so registrations never need a lock even
// if two of them raced. Nodes are never removed; once loading is over a list
// is read-only and may be walked from any thread. The head is constant
// initialised, so it is valid before any constructor of any translation unit
// runs. Plain C++: the stub generator links this without Python.

#include <atomic>
#include <cstddef>
#include <iterator>

namespace torvane::py {

template <typename T>
class LoadList;

template <typename T>
struct LoadNode {
    const T* record;
    LoadNode* next = nullptr;
};

template <typename T>
class LoadList {
public:
    constexpr LoadList() = default;
    LoadList(const LoadList&) = delete;
    LoadList& operator=(const LoadList&) = delete;

    void push(LoadNode<T>& node) {
        LoadNode<T>* head = head_.load(std::memory_order_relaxed);
        do {
            node.next = head;
        } while (!head_.compare_exchange_weak(head, &node, std::memory_order_release, std::memory_order_relaxed));
    }

    class iterator {
    public:
        using value_type = T;
        using difference_type = std::ptrdiff_t;
        iterator() = default;
        explicit iterator(const LoadNode<T>* n) : n_(n) {}
        const T& operator*() const { return *n_->record; }
        const T* operator->() const { return n_->record; }
        iterator& operator++() {
            n_ = n_->next;
            return *this;
        }
        iterator operator++(int) {
            iterator old = *this;
            n_ = n_->next;
            return old;
        }
        bool operator==(const iterator&) const = default;

    private:
        const LoadNode<T>* n_ = nullptr;
    };

    iterator begin() const { return iterator(head_.load(std::memory_order_acquire)); }
    iterator end() const { return iterator(); }

private:
    std::atomic<LoadNode<T>*> head_{nullptr};
};

// A static object of this type is one load-time registration.
template <typename T>
class Registration {
public:
    Registration(LoadList<T>& list, const T& record) : node_{&record} { list.push(node_); }
    Registration(LoadList<T>&, const T&&) = delete;  // the list keeps a pointer to the record
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;

private:
    LoadNode<T> node_;
};

}  // namespace torvane::py
