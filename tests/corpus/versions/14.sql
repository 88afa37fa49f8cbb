-- PostgreSQL 14 on: multiranges (one with a name of its own) and a
-- procedure whose BEGIN ATOMIC body depends on a table.
CREATE TYPE app.span AS RANGE (subtype = int4, multirange_type_name = app.span_set);
CREATE TABLE app.bookings (id int PRIMARY KEY, slots app.span_set, plain int4multirange,
  r app.span);
CREATE PROCEDURE app.book(n int) LANGUAGE sql
  BEGIN ATOMIC INSERT INTO app.bookings (id) VALUES (n); END;
INSERT INTO app.bookings VALUES (1, '{[1,3), [5,8)}', '{[2,4)}', '[1,2)');
