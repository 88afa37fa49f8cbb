-- PostgreSQL 16 on: SYSTEM_USER in a default.
CREATE TABLE app.signed (id int, by_whom text DEFAULT SYSTEM_USER);
INSERT INTO app.signed (id) VALUES (1);
