#pragma once

#include <algorithm>
#include <vector>

// An ordered list of object pointers. The list never destroys an element by itself:
// only DeleteAll and Delete do, so a list built for a selection just refers to records.
template <class T>
class CUObList
{
public:
    CUObList() = default;
    CUObList(const CUObList&) = delete;
    CUObList& operator=(const CUObList&) = delete;

    void AddHead(T* obj) { m_items.insert(m_items.begin(), obj); }
    void AddTail(T* obj) { m_items.push_back(obj); }
    T* GetHead() const { return m_items.empty() ? nullptr : m_items.front(); }
    T* GetAt(int index) const
    {
        return index >= 0 && index < GetCount() ? m_items[static_cast<size_t>(index)] : nullptr;
    }
    int GetCount() const { return static_cast<int>(m_items.size()); }
    bool IsEmpty() const { return m_items.empty(); }
    int IndexOf(const T* obj) const
    {
        auto it = std::find(m_items.begin(), m_items.end(), obj);
        return it == m_items.end() ? -1 : static_cast<int>(it - m_items.begin());
    }
    bool Contains(const T* obj) const { return IndexOf(obj) >= 0; }

    // Takes the element out without destroying it.
    bool Remove(const T* obj)
    {
        auto it = std::find(m_items.begin(), m_items.end(), obj);
        if (it == m_items.end())
            return false;
        m_items.erase(it);
        return true;
    }
    void RemoveAll() { m_items.clear(); }

    // Destroys every element and empties the list.
    void DeleteAll()
    {
        std::vector<T*> items;
        items.swap(m_items);
        for (T* obj : items)
            delete obj;
    }

    // Takes out and destroys every element that `selected` holds.
    template <class U>
    void Delete(const CUObList<U>& selected)
    {
        for (U* obj : selected)
            if (Remove(obj))
                delete obj;
    }

    auto begin() const { return m_items.begin(); }
    auto end() const { return m_items.end(); }

private:
    std::vector<T*> m_items;
};
