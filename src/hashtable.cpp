// The category hashmap: 257 fixed buckets of entries keyed by the key's Python hash alone.
#include "_tolq.h"

#include <cstdlib>

static inline unsigned bucket_of(unsigned long hash)
{
    return (unsigned)(hash % CATEGORY_BUCKETS);
}

static category_entry *category_hashmap_new(category_hashmap *map, PyObject *key,
                                            unsigned long hash)
{
    category_entry *entry = (category_entry *)malloc(sizeof(category_entry));
    if (entry == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    unsigned b = bucket_of(hash);
    Py_INCREF(key);
    entry->key = key;
    entry->py_keyhash = hash;
    entry->weight = 0.0;
    entry->nxt = map->entries[b];
    map->entries[b] = entry;
    return entry;
}

// The key's hash taken as unsigned; false with the exception for a key that cannot be hashed.
static bool hash_of(PyObject *key, unsigned long *hash)
{
    Py_hash_t h = PyObject_Hash(key);
    if (h == -1 && PyErr_Occurred()) {
        return false;
    }
    *hash = (unsigned long)h;
    return true;
}

category_entry *category_hashmap_get(category_hashmap *map, PyObject *key)
{
    unsigned long hash;
    if (!hash_of(key, &hash)) {
        return nullptr;
    }
    for (category_entry *e = map->entries[bucket_of(hash)]; e != nullptr; e = e->nxt) {
        if (e->py_keyhash == hash) {
            return e;
        }
    }
    return category_hashmap_new(map, key, hash);
}

// Spreads the hash over the slot bits: Python's hashes of small ints are the ints.
static inline size_t index_slot(unsigned long hash, size_t mask)
{
    return (size_t)((hash * 0x9E3779B97F4A7C15ul) >> 17) & mask;
}

static void index_put(category_index *index, category_entry *e)
{
    size_t i = index_slot(e->py_keyhash, index->mask);
    while (index->slots[i] != nullptr) {
        i = (i + 1) & index->mask;
    }
    index->slots[i] = e;
    index->count++;
}

// Doubles the slots; false when memory is short (the index stays as it was).
static bool index_grow(category_index *index)
{
    size_t size = (index->mask + 1) * 2;
    category_entry **slots = (category_entry **)PyMem_Calloc(size, sizeof(category_entry *));
    if (slots == nullptr) {
        return false;
    }
    category_entry **old = index->slots;
    size_t old_size = index->mask + 1;
    index->slots = slots;
    index->mask = size - 1;
    index->count = 0;
    for (size_t i = 0; i < old_size; i++) {
        if (old[i] != nullptr) {
            index_put(index, old[i]);
        }
    }
    PyMem_Free(old);
    return true;
}

int category_index_init(category_index *index, category_hashmap *map)
{
    index->mask = 1023;
    index->count = 0;
    index->slots = (category_entry **)PyMem_Calloc(index->mask + 1, sizeof(category_entry *));
    if (index->slots == nullptr) {
        return -1;
    }
    for (category_entry *e = category_hashmap_iterate(map, nullptr); e != nullptr;
         e = category_hashmap_iterate(map, e)) {
        if (2 * (index->count + 1) > index->mask + 1 && !index_grow(index)) {
            category_index_free(index);
            return -1;
        }
        index_put(index, e);
    }
    return 0;
}

category_entry *category_index_get(category_index *index, category_hashmap *map, PyObject *key)
{
    unsigned long hash;
    if (!hash_of(key, &hash)) {
        return nullptr;
    }
    size_t i = index_slot(hash, index->mask);
    for (category_entry *e; (e = index->slots[i]) != nullptr; i = (i + 1) & index->mask) {
        if (e->py_keyhash == hash) {
            return e;
        }
    }
    category_entry *e = category_hashmap_new(map, key, hash);
    if (e == nullptr) {
        return nullptr;
    }
    if (2 * (index->count + 1) > index->mask + 1 && !index_grow(index)) {
        PyErr_NoMemory();  // the new category stays in the map, as those met before it
        return nullptr;
    }
    index_put(index, e);
    return e;
}

void category_index_free(category_index *index)
{
    PyMem_Free(index->slots);
    index->slots = nullptr;
}

void category_hashmap_clear(category_hashmap *map)
{
    for (unsigned b = 0; b < CATEGORY_BUCKETS; b++) {
        while (map->entries[b] != nullptr) {
            category_entry *e = map->entries[b];
            map->entries[b] = e->nxt;
            Py_DECREF(e->key);
            free(e);
        }
    }
}

category_entry *category_hashmap_iterate(category_hashmap *map, category_entry *curr)
{
    unsigned b = 0;
    if (curr != nullptr) {
        if (curr->nxt != nullptr) {
            return curr->nxt;
        }
        b = bucket_of(curr->py_keyhash) + 1;
    }
    for (; b < CATEGORY_BUCKETS; b++) {
        if (map->entries[b] != nullptr) {
            return map->entries[b];
        }
    }
    return nullptr;
}
